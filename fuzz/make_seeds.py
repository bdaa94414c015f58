#!/usr/bin/python3
"""Writes the harnesses' seed corpora into <out>/<Harness>/, from the files in
tests/data and a few small files made here. Run with Debian's python3:

    /usr/bin/python3 fuzz/make_seeds.py build-fuzz/seeds [build-fuzz/verbolin-models]

With the model tool, a tiny random pack and checkpoint it makes become the
seeds of the model folder and checkpoint harnesses.
"""
import json
import os
import sqlite3
import struct
import subprocess
import sys
import tempfile
import zipfile
import io

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "tests", "data")
SEP = b"\n#-#-#\n"


def put(out, harness, name, data):
    folder = os.path.join(out, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def read(*path):
    with open(os.path.join(*path), "rb") as f:
        return f.read()


def safetensors(tensors, metadata=None):
    header, blob = {}, b""
    for name, dtype, shape, data in tensors:
        header[name] = {"dtype": dtype, "shape": shape,
                        "data_offsets": [len(blob), len(blob) + len(data)]}
        blob += data
    if metadata:
        header["__metadata__"] = metadata
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + blob


def small_whisper_tokenizer():
    """The English Whisper tokenizer cut to its first tokens, so that one run
    stays fast and the fuzzer still sees its real structure."""
    data = json.loads(read(DATA, "whisper-en-tokenizer", "tokenizer.json"))
    model = data["model"]
    vocab = {k: v for k, v in model["vocab"].items() if v < 600}
    merges = []
    for m in model["merges"]:
        pair = m.split(" ") if isinstance(m, str) else m
        if len(pair) == 2 and pair[0] in vocab and pair[1] in vocab and "".join(pair) in vocab:
            merges.append(m)
    model["vocab"], model["merges"] = vocab, merges
    data["added_tokens"] = data["added_tokens"][:40]
    return json.dumps(data, ensure_ascii=False).encode()


def tokenizer_seeds(out):
    text = "Hello there, the cat's é 中 playing unaffable  <|endoftext|> [CLS] ▁x".encode()
    for folder in ("llama-toy", "unigram-toy", "wordpiece-toy"):
        put(out, "TokenizerFuzzer", folder,
            read(DATA, folder, "tokenizer_config.json") + SEP +
            read(DATA, folder, "tokenizer.json") + SEP + text)
    put(out, "TokenizerFuzzer", "whisper-en-small",
        read(DATA, "whisper-en-tokenizer", "tokenizer_config.json") + SEP +
        small_whisper_tokenizer() + SEP + text)


def safetensors_seeds(out):
    f32 = struct.pack("<6f", 1, -2, 3.5, 0, 1e30, -1e-30)
    put(out, "SafetensorsFuzzer", "f32", safetensors([("a.weight", "F32", [2, 3], f32)]))
    put(out, "SafetensorsFuzzer", "mixed", safetensors(
        [("h", "F16", [4], struct.pack("<4H", 0x3C00, 0x7C00, 0xFC00, 0x7E00)),
         ("b", "BF16", [2, 1], struct.pack("<2H", 0x3F80, 0xFF80)),
         ("d", "F64", [1], struct.pack("<d", 2.5)),
         ("i", "I64", [2], struct.pack("<2q", -1, 7)),
         ("e", "F32", [0, 5], b"")],
        {"format": "pt"}))
    # The real checkpoint's header with the data cut short.
    whole = read(DATA, "whisper-synth-en", "model.safetensors")
    (length,) = struct.unpack("<Q", whole[:8])
    put(out, "SafetensorsFuzzer", "checkpoint-header", whole[:8 + length + 64])


TINY = ("n_mels=80,d_model=8,heads=2,ffn=16,layers=1,vocab_size=40,max_source_positions=4,"
        "max_target_positions=8")


def model_seeds(out, tool):
    if not tool:
        return
    tmp = tempfile.mkdtemp()
    try:
        pack, checkpoint = os.path.join(tmp, "pack"), os.path.join(tmp, "checkpoint")
        subprocess.run([tool, "random", pack, "--dims", TINY + ",kv_cache_length=8"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([tool, "random", checkpoint, "--checkpoint", "--dtype", "F32", "--dims",
                        TINY], check=True, stdout=subprocess.DEVNULL)
        for name in ("MelSpectrogram", "AudioEncoder", "TextDecoder"):
            folder = os.path.join(pack, name + ".mlmodelc")
            put(out, "ModelFolderFuzzer", name,
                read(folder, "model.json") + SEP + read(folder, "weights.safetensors"))
        config = read(checkpoint, "config.json")
        weights = read(checkpoint, "model.safetensors")
        put(out, "CheckpointFuzzer", "tiny",
            config + SEP + read(checkpoint, "generation_config.json") + SEP + weights)
        put(out, "CheckpointFuzzer", "tiny-no-heads", config + SEP + SEP + weights)
        put(out, "CheckpointFuzzer", "synth-config",
            read(DATA, "whisper-synth-en", "config.json") + SEP +
            read(DATA, "whisper-synth-en", "generation_config.json") + SEP + weights)
    finally:
        subprocess.run(["rm", "-rf", tmp], check=True)


def hub_seeds(out):
    listing = (b'{"siblings":[{"rfilename":"config.json"},{"rfilename":"openai_whisper-tiny.en/'
               b'AudioEncoder.mlmodelc"},{"rfilename":"openai_whisper-base/x"},'
               b'{"rfilename":"distil-whisper_large-v3/y"}],"sha":"abc"}')
    head = (b'200\nX-Repo-Commit: 0123456789abcdef0123456789abcdef01234567\n'
            b'X-Linked-Etag: W/"' + b"a" * 64 + b'"\nX-Linked-Size: 1234\nContent-Length: 5')
    support = json.dumps({
        "name": "whisperkit-coreml", "version": "0.2",
        "device_support": [
            {"identifiers": ["cpu", "x86"], "chips": "x86",
             "models": {"default": "openai_whisper-base",
                        "supported": ["openai_whisper-tiny", "openai_whisper-base.en"]}},
            {"identifiers": [""], "models": {"default": "openai_whisper-tiny",
                                             "supported": []}}]}).encode()
    put(out, "HubAnswerFuzzer", "listing", listing + SEP + head + SEP + b"/owner/x?y=1#f" +
        SEP + support)
    put(out, "HubAnswerFuzzer", "redirect", b'{"siblings":[]}' + SEP +
        b"302\nLocation: /owner/name/resolve/main/other.bin\nEtag: \"e\"" + SEP +
        b"https://other.example/%2e%2e/x" + SEP + b"{}")


def audio_seeds(out):
    tmp = tempfile.mkdtemp()
    try:
        made = []
        for ext, args in ((".wav", ["-c:a", "pcm_s16le"]), (".wav", ["-c:a", "pcm_f32le"]),
                          (".wav", ["-c:a", "pcm_u8", "-ac", "2"]),
                          (".wav", ["-c:a", "pcm_s24le", "-ar", "44100"]),
                          (".flac", []), (".mp3", ["-ar", "22050"]), (".ogg", ["-c:a", "libvorbis"]),
                          (".ogg", ["-c:a", "libopus"]), (".m4a", ["-c:a", "aac"])):
            path = os.path.join(tmp, "a%d%s" % (len(made), ext))
            result = subprocess.run(
                ["ffmpeg", "-v", "quiet", "-f", "lavfi", "-i",
                 "sine=frequency=440:duration=0.15:sample_rate=16000", *args, path])
            if result.returncode == 0:
                made.append(path)
        selector = {".wav": 0, ".flac": 1, ".mp3": 2, ".ogg": 3, ".m4a": 4, ".aiff": 5}
        for path in made:
            ext = os.path.splitext(path)[1]
            put(out, "AudioFileFuzzer", os.path.basename(path),
                bytes([selector[ext]]) + read(path))
        # Headers whose lengths are not what the file holds: a FLAC stream
        # header claiming a third of the samples, an MP3 info frame claiming
        # two frames, an AIFF claiming 2^32 - 1 frames.
        for path in made:
            ext, data = os.path.splitext(path)[1], bytearray(read(path))
            if ext == ".flac" and data[:4] == b"fLaC":
                count = int.from_bytes(data[22:26], "big") // 3
                data[22:26] = count.to_bytes(4, "big")
            elif ext == ".mp3" and data.find(b"Info") > 0:
                at = data.find(b"Info") + 8
                data[at:at + 4] = (2).to_bytes(4, "big")
            else:
                continue
            put(out, "AudioFileFuzzer", "underclaiming" + ext, bytes([selector[ext]]) + data)
        aiff = os.path.join(tmp, "a.aiff")
        if subprocess.run(["ffmpeg", "-v", "quiet", "-f", "lavfi", "-i",
                           "sine=frequency=440:duration=0.15:sample_rate=16000", aiff]).returncode == 0:
            data = bytearray(read(aiff))
            at = data.find(b"COMM") + 10
            data[at:at + 4] = b"\xff\xff\xff\xff"
            put(out, "AudioFileFuzzer", "overclaiming.aiff", bytes([selector[".aiff"]]) + data)
    finally:
        for name in os.listdir(tmp):
            os.remove(os.path.join(tmp, name))
        os.rmdir(tmp)


SCHEMA = """
CREATE TABLE segments (id TEXT PRIMARY KEY, start REAL NOT NULL, end REAL NOT NULL,
  text TEXT NOT NULL, edited INTEGER NOT NULL DEFAULT 0, original TEXT);
CREATE INDEX segments_start ON segments(start);
CREATE TABLE sessions (id TEXT PRIMARY KEY, start REAL NOT NULL, name TEXT);
CREATE VIRTUAL TABLE segments_fts USING fts5(text, content='segments', content_rowid='rowid',
  tokenize='unicode61');
CREATE TRIGGER segments_ai AFTER INSERT ON segments BEGIN
  INSERT INTO segments_fts(rowid, text) VALUES (new.rowid, new.text); END;
"""
ROWS = """
INSERT INTO segments VALUES ('6F9619FF-8B86-D011-B42D-00C04FC964FF', 1714521600.5, 1714521602.0,
  'hello world', 0, NULL);
INSERT INTO segments VALUES ('not-a-uuid', 1714521610, 1714521611, 'second one', 1, 'original');
INSERT INTO sessions VALUES ('7F9619FF-8B86-D011-B42D-00C04FC964FF', 1714521599, 'Morning');
"""


def database_seeds(out):
    put(out, "TranscriptDBFuzzer", "ours-v1", b"\0" + (SCHEMA + ROWS +
                                                      "PRAGMA user_version = 1;").encode())
    put(out, "TranscriptDBFuzzer", "unnumbered", b"\0" + (SCHEMA + ROWS).encode())
    put(out, "TranscriptDBFuzzer", "newer", b"\0" + (SCHEMA + ROWS +
                                                    "PRAGMA user_version = 7;").encode())
    put(out, "TranscriptDBFuzzer", "wrong-types", b"\0" + (
        "CREATE TABLE segments (id, start, end, text, edited, original);"
        "INSERT INTO segments VALUES (x'00ff', 'soon', 1e308, NULL, 'yes', 42);"
        "INSERT INTO segments VALUES (NULL, -1e308, NULL, x'c3', NULL, x'');"
        "CREATE TABLE sessions (id, start, name);"
        "INSERT INTO sessions VALUES (7, 'x', x'ff');").encode())
    put(out, "TranscriptDBFuzzer", "foreign", b"\0" + (
        "CREATE TABLE notes (title TEXT, body BLOB); INSERT INTO notes VALUES ('a', x'01');"
        "PRAGMA user_version = 3;").encode())
    segment = ('{"id":"6F9619FF-8B86-D011-B42D-00C04FC964FF","start":"2024-05-01T10:00:00Z",'
               '"end":"2024-05-01T10:00:02.5Z","text":"hello","edited":true,"original":"helo"}')
    put(out, "LegacyImportFuzzer", "all", (
        segment + "\r\n" + segment.replace("6F", "7F").replace("10:00", "10:01") + "\n" +
        SEP.decode() +
        '[{"id":"8F9619FF-8B86-D011-B42D-00C04FC964FF","start":"2024-05-01T09:59:00+02:00",'
        '"name":"Morning"},{"id":"9F9619FF-8B86-D011-B42D-00C04FC964FF",'
        '"start":"1970-01-01T00:00:00Z","name":null}]' + SEP.decode() +
        '[{"createdAt":"2024-05-01T10:05:00.125Z","text":"a note"},'
        '{"createdAt":"2262-04-11T23:47:15Z","text":"late"},'
        '{"createdAt":"1677-09-21T00:12:44Z","text":"early"}]').encode())
    tmp = tempfile.mkdtemp()
    try:
        path = os.path.join(tmp, "t.sqlite")
        db = sqlite3.connect(path)
        db.executescript(SCHEMA + ROWS + "PRAGMA user_version = 1;")
        db.close()
        put(out, "TranscriptDBFuzzer", "file-v1", b"\1" + read(path))
        os.remove(path)
    finally:
        os.rmdir(tmp)


def zip_seeds(out):
    def archive(entries):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data, link in entries:
                info = zipfile.ZipInfo(name)
                if link:
                    info.external_attr = (0o120777 << 16)
                elif name.endswith("/"):
                    info.external_attr = (0o40755 << 16) | 0x10
                else:
                    info.external_attr = 0o100644 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data)
        return buffer.getvalue()

    put(out, "ZipFuzzer", "pack", archive([
        ("standard-v1/", b"", False),
        ("standard-v1/TextDecoder.mlmodelc/model.json", b'{"format": "verbolin-mlmodel"}', False),
        ("standard-v1/tokenizer/tokenizer.json", read(DATA, "llama-toy", "tokenizer.json"), False),
        ("standard-v1/zeros.bin", bytes(4096), False)]))
    put(out, "ZipFuzzer", "links", archive([
        ("a/", b"", False), ("a/inside", b"x", False), ("a/link", b"inside", True),
        ("a/out", b"../../outside", True), ("a/b/../c", b"y", False)]))
    put(out, "ZipFuzzer", "traversal", archive([("../escape", b"z", False),
                                                ("/absolute", b"z", False)]))


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    tool = sys.argv[2] if len(sys.argv) > 2 else None
    tokenizer_seeds(out)
    safetensors_seeds(out)
    model_seeds(out, tool)
    hub_seeds(out)
    audio_seeds(out)
    database_seeds(out)
    zip_seeds(out)


if __name__ == "__main__":
    main()
