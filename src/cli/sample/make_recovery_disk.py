#!/usr/bin/env python3
"""Makes a disk image for recovery: an ext4 file system made with mkfs.ext4 -d from files that
Debian's encoders write (and real archives of the corpus folder, when given), some of them
deleted afterwards with debugfs so that their bytes are only in free space; then a raw area
with files at 4 KiB, 512-byte and unaligned offsets, a file cut short by the next one, and
distractors with planted false signatures.

Writes IMAGE and IMAGE.manifest.json: every file placed, with its bytes' SHA-256, its length,
where it lies when that is known (the raw area), whether it was deleted, and what a scan
should say of it ("intact", "cut", "damaged" or "distractor")."""
import argparse, hashlib, json, os, random, shutil, subprocess, sys, tempfile

def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)

def make_media(work, seconds):
    wav = os.path.join(work, "tone.wav")
    run("ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}",
        "-f", "lavfi", "-i", f"anoisesrc=d={seconds}:a=0.05:seed=7", "-filter_complex", "amix=inputs=2", "-ac", "2", wav)
    out = {}
    def add(name, *cmd):
        path = os.path.join(work, name)
        run(*[a.replace("OUT", path) for a in cmd])
        out[name] = path
    add("song.flac", "flac", "-s", "-f", "--no-padding", "-o", "OUT", wav)
    add("song.mp3", "lame", "--quiet", "--tt", "Tone", "--ta", "Quarlin", "--add-id3v2", wav, "OUT")
    add("plain.mp3", "lame", "--quiet", "-b", "96", wav, "OUT")
    add("song.ogg", "oggenc", "-Q", "-o", "OUT", wav)
    add("voice.opus", "opusenc", "--quiet", wav, "OUT")
    add("clip.webm", "ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=10",
        "-c:v", "libvpx", "-b:v", "200k", "-f", "webm", "OUT")
    add("clip.mkv", "mkvmerge", "-q", "-o", "OUT", os.path.join(work, "clip.webm"))
    # This muxer gives every top-level element a CRC-32 of its own.
    add("remux.mkv", "ffmpeg", "-nostdin", "-y", "-i", os.path.join(work, "clip.webm"), "-c", "copy", "-f", "matroska",
        "OUT")
    docs = os.path.join(work, "docs")
    os.makedirs(docs, exist_ok=True)
    rng = random.Random(7)
    for i in range(3):
        with open(os.path.join(docs, f"note{i}.txt"), "w") as f:
            f.write(" ".join(rng.choice(["disk", "file", "block", "record", "scan", "byte"]) for _ in range(4000)))
    add("docs.zip", "zip", "-q", "-r", "-j", "OUT", docs)
    add("docs.xar", "bsdtar", "--format", "xar", "-C", docs, "-cf", "OUT", ".")
    with open(os.path.join(work, "note0.txt.gz"), "wb") as f:
        subprocess.run(["gzip", "-c", os.path.join(docs, "note0.txt")], check=True, stdout=f)
    out["note0.txt.gz"] = os.path.join(work, "note0.txt.gz")
    return out

def sha256(data):
    return hashlib.sha256(data).hexdigest()

def main():
    p = argparse.ArgumentParser()
    p.add_argument("image")
    p.add_argument("--size-mib", type=int, default=24)
    p.add_argument("--corpus", help="folder of real RAR, PST and UDIF files")
    p.add_argument("--seconds", type=int, default=4, help="length of the audio files")
    p.add_argument("--raw-area", action="store_true", help="append files at odd offsets, cut files and distractors")
    p.add_argument("--fill-mib", type=int, default=0,
                   help="then this many MiB of copies of every file at 4 KiB boundaries, with noise between them")
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="quarlin-disk-")
    try:
        files = make_media(work, a.seconds)
        if a.corpus:
            for rel in ["rar/rar_compress_normal.rar", "rar/rar5_multiple_files.rar", "rar/rar_filter.rar",
                        "pst/dist-list.pst", "udif/compression-raw.dmg"]:
                src = os.path.join(a.corpus, rel)
                if os.path.exists(src):
                    files[os.path.basename(rel)] = src
        # mkfs.ext4 -d leaves a hole for every block of zeros, so a file with such a block is
        # not contiguous in the file system: those files go after it, whole.
        def has_zero_block(path):
            data = open(path, "rb").read()
            return any(not any(data[i:i + 4096]) for i in range(0, len(data), 4096))
        outside = {n for n, path in files.items() if has_zero_block(path)}
        root = os.path.join(work, "root")
        os.makedirs(root)
        for name, path in files.items():
            if name not in outside:
                shutil.copy(path, os.path.join(root, name))
        deleted = {n for n in files if n not in outside and n in (
            "song.flac", "voice.opus", "clip.webm", "docs.zip", "docs.xar", "rar_filter.rar", "plain.mp3")}
        manifest = []
        fs_bytes = a.size_mib << 20
        if os.path.exists(a.image):
            os.unlink(a.image)
        run("mkfs.ext4", "-q", "-F", "-b", "4096", "-O", "^has_journal", "-E", "root_owner=0:0", "-d", root,
            a.image, f"{a.size_mib}M")
        for name, path in sorted(files.items()):
            if name in outside:
                continue
            data = open(path, "rb").read()
            # Where the file system put the file: a carver brings back only a contiguous file.
            listing = subprocess.run(["debugfs", "-R", f"blocks /{name}", a.image], check=True,
                                     capture_output=True, text=True).stdout.split()
            blocks = [int(b) for b in listing]
            contiguous = blocks == list(range(blocks[0], blocks[0] + len(blocks)))
            manifest.append({"name": name, "sha256": sha256(data), "length": len(data), "offset": blocks[0] * 4096,
                             "deleted": name in deleted, "expect": "intact" if contiguous else "fragmented"})
        for name in sorted(deleted):
            run("debugfs", "-w", "-R", f"rm /{name}", a.image)
        rng = random.Random(11)
        with open(a.image, "r+b") as img:
            img.seek(fs_bytes)
            pos = fs_bytes
            def put(data, name, expect, align):
                nonlocal pos
                pad = (-pos) % align if align > 1 else rng.randrange(1, 511)
                img.write(rng.randbytes(pad))
                pos += pad
                manifest.append({"name": name, "sha256": sha256(data), "length": len(data), "offset": pos,
                                 "deleted": False, "expect": expect})
                img.write(data)
                pos += len(data)
            read = lambda n: open(files[n], "rb").read()
            for name in sorted(outside):
                put(read(name), name, "intact", 4096)
            if a.raw_area:
                put(read("song.ogg"), "raw-4k.ogg", "intact", 4096)
                put(read("song.flac"), "raw-512.flac", "intact", 512)
                put(read("clip.mkv"), "raw-unaligned.mkv", "intact", 1)
                put(read("song.mp3"), "raw-unaligned.mp3", "intact", 1)
                cut = read("voice.opus")
                put(cut[: len(cut) // 2], "cut.opus", "cut", 512)
                put(read("docs.zip")[:-40], "cut.zip", "cut", 512)
                if "compression-raw.dmg" in files:  # one byte of its data fork changed: its CRC-32 fails
                    dmg = bytearray(read("compression-raw.dmg"))
                    dmg[len(dmg) // 3] ^= 0x01
                    put(bytes(dmg), "damaged.dmg", "damaged", 512)
                # Distractors: signatures followed by noise.
                for mark in [b"Rar!\x1a\x07\x00", b"Rar!\x1a\x07\x01\x00", b"fLaC\x00\x00\x00\x22", b"OggS\x00\x02",
                             b"\x1a\x45\xdf\xa3\x84", b"xar!\x00\x1c", b"!BDN", b"PK\x03\x04", b"\x1f\x8b\x08\x00",
                             b"ID3\x03\x00\x00\x00\x00\x10\x00", b"\xff\xfb\x90\x64"]:
                    put(mark + rng.randbytes(3000), "distractor", "distractor", 512)
            if a.fill_mib:
                names = sorted(files)
                end = pos + (a.fill_mib << 20)
                i = 0
                while True:
                    data = read(names[i % len(names)])
                    gap = rng.randrange(0, 16) * 4096
                    if pos + gap + len(data) + 8192 > end:
                        break
                    img.write(rng.randbytes(gap))
                    pos += gap
                    put(data, names[i % len(names)], "intact", 4096)
                    i += 1
            img.write(bytes((-pos) % (1 << 20)))
        json.dump(manifest, open(a.image + ".manifest.json", "w"), indent=1)
    finally:
        shutil.rmtree(work, ignore_errors=True)

if __name__ == "__main__":
    sys.exit(main())
