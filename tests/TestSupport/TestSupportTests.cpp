// The test support library is what every other suite stands on, so its own faults
// would surface as mysterious failures elsewhere.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include <gtest/gtest.h>

#include "support/Speech.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

using namespace testsupport;

namespace {

std::string rawExchange(uint16_t port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return {};
    }
    ::send(fd, request.data(), request.size(), 0);
    std::string reply;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(got));
    ::close(fd);
    return reply;
}

}  // namespace

TEST(TempDirTest, CreatesAndRemovesItsFolder) {
    std::filesystem::path kept;
    {
        TempDir dir;
        kept = dir.path();
        ASSERT_TRUE(std::filesystem::is_directory(kept));
        std::ofstream(dir / "file.txt") << "x";
        std::filesystem::create_directories(dir / "a/b");
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(TestHttpServerTest, ParsesRequestAndAnswersWholeOrDropped) {
    TestHttpServer server([](const HttpRequest& request, HttpResponder& responder) {
        if (request.path == "/drop") {
            responder.writeHead(200, {{"Content-Length", "100"}});
            responder.writeBody("half");
            responder.drop();
            return;
        }
        responder.respond(201, {{"X-Echo", request.header("x-test")}}, request.method + " " + request.query + " " + request.body);
    });
    const std::string reply = rawExchange(server.port(),
        "POST /echo?limit=1 HTTP/1.1\r\nHost: x\r\nX-Test: value\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_NE(reply.find("HTTP/1.1 201"), std::string::npos);
    EXPECT_NE(reply.find("X-Echo: value"), std::string::npos);
    EXPECT_NE(reply.find("POST limit=1 hello"), std::string::npos);

    const std::string dropped = rawExchange(server.port(), "GET /drop HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(dropped.find("Content-Length: 100"), std::string::npos);
    EXPECT_EQ(dropped.substr(dropped.size() - 4), "half");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/echo");
    EXPECT_EQ(requests[0].header("x-test"), "value");
    EXPECT_EQ(requests[1].method, "GET");
}

TEST(SpeechTest, WavRoundTripAndRealSpeech) {
    TempDir dir;
    std::vector<float> tone(1600);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(2 * M_PI * 440.0 * i / 16000.0);
    writeWav(dir / "tone.wav", tone, 16000);
    const WavAudio back = readWav(dir / "tone.wav");
    ASSERT_EQ(back.sampleRate, 16000);
    ASSERT_EQ(back.samples.size(), tone.size());
    for (size_t i = 0; i < tone.size(); ++i) EXPECT_NEAR(back.samples[i], tone[i], 1e-4);

    speakToWav("Guten Morgen", dir / "speech.wav", 16000);
    const WavAudio speech = readWav(dir / "speech.wav");
    EXPECT_EQ(speech.sampleRate, 16000);
    EXPECT_GT(speech.samples.size(), 4000u);  // well over a quarter second of speech
    float peak = 0;
    for (float s : speech.samples) peak = std::max(peak, std::abs(s));
    EXPECT_GT(peak, 0.05f);
}
