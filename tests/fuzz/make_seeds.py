#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target from the test tables.

Every string literal of the test files that a target's input resembles becomes
one seed (adjacent literals joined, as the compiler joins them), and the
literals of a file together make one more seed (a listing of all table lines, a
stream of all table replies). Seeds found by fuzzing that once failed live in
tests/fuzz/seeds/<target>/ and are not written here.

    make_seeds.py SOURCE_DIR OUT_DIR
"""
import hashlib
import os
import sys

# The tables each target's seeds come from.
SOURCES = {
    "listing_parser_fuzz": ["tests/downlib/listing_parser_test.cpp"],
    "reply_reader_fuzz": ["tests/downlib/control_connection_test.cpp", "tests/downlib/remote_commands_test.cpp",
                          "tests/downlib/download_test.cpp", "tests/downlib/data_channel_test.cpp"],
    "reply_parsers_fuzz": ["tests/downlib/data_channel_test.cpp", "tests/downlib/remote_commands_test.cpp"],
    "url_session_fuzz": ["tests/downlib/session_test.cpp"],
    "gbk_text_fuzz": ["tests/toolkit/text_test.cpp"],
    "settings_file_fuzz": ["tests/toolkit/files_test.cpp"],
}
# How the literals of one file join into one more seed.
JOINERS = {
    "listing_parser_fuzz": b"\r\n",
    "reply_reader_fuzz": b"",
    "reply_parsers_fuzz": None,
    "url_session_fuzz": None,
    "gbk_text_fuzz": None,
    "settings_file_fuzz": b"\n",
}
SIMPLE_ESCAPES = {"n": 10, "r": 13, "t": 9, "v": 11, "f": 12, "a": 7, "b": 8, "\\": 92, "'": 39, '"': 34,
                  "?": 63, "0": 0}


def literal_body(text, i):
    """Decodes the ordinary string literal whose opening quote is at i."""
    out = bytearray()
    i += 1
    while i < len(text) and text[i] != '"':
        c = text[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        e = text[i + 1]
        if e == "x":
            j = i + 2
            while j < len(text) and text[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(text[i + 2:j], 16) & 0xFF)
            i = j
        elif e in "01234567":
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(int(text[i + 1:j], 8) & 0xFF)
            i = j
        else:
            out.append(SIMPLE_ESCAPES.get(e, ord(e)))
            i += 2
    return bytes(out), i + 1


def literals(text):
    """The string literals of a C++ source, adjacent ones joined."""
    found = []
    joining = False
    i = 0
    while i < len(text):
        c = text[i]
        if text.startswith("//", i):
            i = text.find("\n", i)
            i = len(text) if i < 0 else i
        elif text.startswith("/*", i):
            i = text.find("*/", i + 2)
            i = len(text) if i < 0 else i + 2
        elif c == "'" and i > 0 and text[i - 1].isalnum():
            i += 1  # a digit separator: 1'000
        elif c == "'":
            i += 1
            while i < len(text) and text[i] != "'":
                i += 2 if text[i] == "\\" else 1
            i += 1
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum() or text[i - 2:i] == "u8"):
            open_paren = text.find("(", i)
            delimiter = ")" + text[i + 2:open_paren] + '"'
            end = text.find(delimiter, open_paren)
            body = text[open_paren + 1:end].encode("utf-8")
            found.append(found.pop() + body if joining else body)
            joining = True
            i = end + len(delimiter)
            continue
        elif c == '"':
            body, i = literal_body(text, i)
            found.append(found.pop() + body if joining else body)
            joining = True
            continue
        elif c.isspace():
            i += 1
            continue
        else:
            i += 1
        joining = False
    return found


def main():
    source_dir, out_dir = sys.argv[1], sys.argv[2]
    for target, files in SOURCES.items():
        seeds = set()
        for name in files:
            with open(os.path.join(source_dir, name), encoding="utf-8") as f:
                found = [s for s in literals(f.read()) if s]
            seeds.update(found)
            if JOINERS[target] is not None and found:
                seeds.add(JOINERS[target].join(found))
        folder = os.path.join(out_dir, target)
        os.makedirs(folder, exist_ok=True)
        for seed in seeds:
            path = os.path.join(folder, "table-" + hashlib.sha1(seed).hexdigest()[:16])
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(seed)
        print(f"{target}: {len(seeds)} seeds from {len(files)} test files")


if __name__ == "__main__":
    main()
