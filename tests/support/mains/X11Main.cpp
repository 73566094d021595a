#include "QtTestMain.h"

int main(int argc, char** argv) { return testsupport::runQtTests(argc, argv, testsupport::TestDisplay::x11); }
