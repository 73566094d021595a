#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into fuzz/corpus/<target>/ (run it again after
changing a format; the files are committed)."""
import json
import math
import os
import random
import struct

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
rng = random.Random(5)


def put(target, name, data):
    folder = os.path.join(root, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode())


def safetensors(tensors):
    """tensors: name -> (dtype, shape, list of floats)."""
    header, data = {}, b""
    for name, (dtype, shape, values) in tensors.items():
        raw = struct.pack("<%df" % len(values), *values) if dtype == "F32" else struct.pack("<%de" % len(values), *values)
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    text = json.dumps(header, separators=(",", ":")).encode()
    return struct.pack("<Q", len(text)) + text + data


def values(count, special=False):
    out = [rng.uniform(-0.5, 0.5) for _ in range(count)]
    if special:
        out[0], out[-1] = math.nan, math.inf
    return out


def model(spec, tensors):
    return json.dumps(spec).encode() + b"\0" + safetensors(tensors)


def layer(prefix, d, ffn, cross, dtype):
    t = {}
    attns = ["self_attn"] + (["encoder_attn"] if cross else [])
    for a in attns:
        for p in ("q", "k", "v", "out"):
            t[f"{prefix}{a}.{p}_proj.weight"] = (dtype, [d, d], values(d * d))
        for p in ("q", "v", "out"):
            t[f"{prefix}{a}.{p}_proj.bias"] = ("F32", [d], values(d))
        t[f"{prefix}{a}_layer_norm.weight"] = ("F32", [d], values(d))
        t[f"{prefix}{a}_layer_norm.bias"] = ("F32", [d], values(d))
    t[f"{prefix}final_layer_norm.weight"] = ("F32", [d], values(d))
    t[f"{prefix}final_layer_norm.bias"] = ("F32", [d], values(d))
    t[f"{prefix}fc1.weight"] = (dtype, [ffn, d], values(ffn * d))
    t[f"{prefix}fc1.bias"] = ("F32", [ffn], values(ffn))
    t[f"{prefix}fc2.weight"] = (dtype, [d, ffn], values(d * ffn))
    t[f"{prefix}fc2.bias"] = ("F32", [d], values(d))
    return t


# model.json + weights
mel = {"format": 1, "kind": "mel", "n_mels": 4, "n_samples": 1600}
put("model", "mel", model(mel, {"mel_filters": ("F32", [4, 201], values(4 * 201))}))
put("model", "mel-nan", model(mel, {"mel_filters": ("F32", [4, 201], values(4 * 201, True))}))
d, ffn, ctx, mels = 8, 16, 4, 4
enc = {"format": 1, "kind": "encoder", "n_mels": mels, "d_model": d, "attention_heads": 2, "layers": 1,
       "ffn_dim": ffn, "n_audio_ctx": ctx}
t = {"encoder.conv1.weight": ("F32", [d, mels, 3], values(d * mels * 3)), "encoder.conv1.bias": ("F32", [d], values(d)),
     "encoder.conv2.weight": ("F32", [d, d, 3], values(d * d * 3)), "encoder.conv2.bias": ("F32", [d], values(d)),
     "encoder.embed_positions.weight": ("F32", [ctx, d], values(ctx * d)),
     "encoder.layer_norm.weight": ("F32", [d], values(d)), "encoder.layer_norm.bias": ("F32", [d], values(d))}
t.update(layer("encoder.layers.0.", d, ffn, False, "F16"))
put("model", "encoder", model(enc, t))
dec = {"format": 1, "kind": "decoder", "d_model": d, "attention_heads": 2, "layers": 1, "ffn_dim": ffn,
       "n_audio_ctx": ctx, "vocab_size": 16, "max_target_positions": 8}
t = {"decoder.embed_tokens.weight": ("F16", [16, d], values(16 * d, True)),
     "decoder.embed_positions.weight": ("F32", [8, d], values(8 * d)),
     "decoder.layer_norm.weight": ("F32", [d], values(d)), "decoder.layer_norm.bias": ("F32", [d], values(d))}
t.update(layer("decoder.layers.0.", d, ffn, True, "F16"))
put("model", "decoder", model(dec, t))

# tokenizer.json, NUL, text
fixture = os.path.join(os.path.dirname(root), "..", "tests", "fixtures", "tokenizers", "handwritten.json")
with open(fixture, "rb") as f:
    handwritten = f.read()
put("tokenizer", "handwritten", handwritten + b"\0hello world<|endoftext|> \xc3\xa4\xc3\xb6 xyz aaaa\n\n  x \xff")
put("tokenizer", "minimal", json.dumps({
    "model": {"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b", ["ab", "b"]]},
    "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": False, "use_regex": True},
    "decoder": {"type": "ByteLevel"},
    "added_tokens": [{"id": 3, "content": "<|x|>", "special": True}, {"id": 4, "content": "<|x|>y", "special": False}],
}).encode() + b"\0ab<|x|>yabb<|x|")

# JSON configuration values
put("config", "object", '{"bos_token": {"content": "<|endoftext|>", "lstrip": false}, "model_max_length": 1e30, '
                       '"list": [1, -2, 3.5, true, null, ["t", 7]], "\\u00e4": "\\ud83d\\ude00"}')
put("config", "bom", "\ufeff[\"\ufeffx\", 9223372036854775808, -9223372036854775808, 2.0]".encode())

# HEAD answer, blank line, metadata record
put("hub", "redirect", "302\nLocation: https://cdn.example/x\nX-Repo-Commit: " + "c" * 40 +
    "\nX-Linked-Etag: W/\"" + "a" * 64 + "\"\nX-Linked-Size: 123\nContent-Length: 0\n\n" + "c" * 40 + "\n" + "a" * 64 +
    "\n1700000000.25\n")
put("hub", "plain", "200\nETag: \"abc\"\nContent-Length: -5\n\ncommit\r\netag\u2028 1e3 \n".encode())

# history file
put("history", "records", json.dumps([
    {"id": "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", "date": 1733500000.5, "appName": "Kate", "text": "Hallo Welt"},
    {"id": "00000000-0000-0000-0000-000000000000", "date": -1e300, "appName": "", "text": "\u00e4"},
]))

# settings file
put("settings", "settings", json.dumps({
    "hotkeyKeyCode": 49, "hotkeyModifiers": 4352, "language": "auto", "cleanupEnabled": "yes",
    "appStyles": {"mail": "email", "x": 3}, "buttonOffsets": {"org.kde.kate": {"x": 1.5, "y": -1e308}},
    "vocabulary": ["KORVU", 7, {"a": "b"}], "historyEnabled": 0,
}))

# Hostile shapes, small: what such files look like, for the fuzzer to grow. Added tokens
# that are each a prefix of the next, and stages the reader drops unread.
put("tokenizer", "prefix-added-tokens", json.dumps({
    "version": "1.0", "truncation": None, "padding": None,
    "added_tokens": [{"id": 10 + i, "content": "x" * (i + 1), "single_word": False, "lstrip": False,
                      "rstrip": False, "normalized": False, "special": i % 2 == 0} for i in range(40)],
    "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True, "use_regex": True},
    "post_processor": {"type": "ByteLevel", "junk": [{}] * 40},
    "model": {"type": "BPE", "dropout": None, "vocab": {"x": 0, "xx": 1, "\u0120x": 2}, "merges": ["x x", "\u0120 x"]},
}).encode() + b"\0" + b"x" * 45 + b" xyx")
# Weights headers: many empty entries, a deep shape, metadata and members of no use.
entries = "{" + ",".join('"t%d":{}' % i for i in range(200)) + "}"
put("model", "empty-entries", json.dumps(mel).encode() + b"\0" + struct.pack("<Q", len(entries)) + entries.encode())
header = json.dumps({"__metadata__": {"format": "pt"},
                     "mel_filters": {"dtype": "F32", "shape": [4, 201, 1, 1, 1, 1, 1, 1, 1], "data_offsets": [0, 3216],
                                     "note": {"a": 1}}}, separators=(",", ":")).encode()
put("model", "deep-shape", json.dumps(mel).encode() + b"\0" + struct.pack("<Q", len(header)) + header + bytes(3216))
