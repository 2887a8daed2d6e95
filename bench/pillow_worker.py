#!/usr/bin/python3
"""Runs Pillow work for imageserver-bench in one long-lived process.

The benchmark program starts this once and sends one command per line on
stdin; each answer is one line on stdout. Keeping the interpreter alive means
that only the library work is timed, never Python's start-up.

Commands (tab-separated):
  load PATH                 decode at full size            -> "ok W H"
  draft PATH W H            draft('RGB', (W, H)) + load()  -> "ok W H"
  thumbnail PATH W H        thumbnail((W, H))              -> "ok W H"
  infolist LISTFILE         open each listed file, read its size (header only)
                                                           -> "ok COUNT"
Any failure answers "error TEXT".

Run with arguments instead, it does one job as a whole process and writes
the picture as binary PPM, for the one-shot comparison of whole processes:
  pillow_worker.py oneshot load PATH OUT
  pillow_worker.py oneshot draft PATH OUT W H
"""
import sys

from PIL import Image

Image.MAX_IMAGE_PIXELS = None


def run(fields):
    command = fields[0]
    if command == "load":
        with Image.open(fields[1]) as image:
            image.load()
            return "ok %d %d" % image.size
    if command == "draft":
        with Image.open(fields[1]) as image:
            image.draft("RGB", (int(fields[2]), int(fields[3])))
            image.load()
            return "ok %d %d" % image.size
    if command == "thumbnail":
        with Image.open(fields[1]) as image:
            image.thumbnail((int(fields[2]), int(fields[3])))
            return "ok %d %d" % image.size
    if command == "infolist":
        count = 0
        with open(fields[1], encoding="utf-8") as listing:
            for line in listing:
                path = line.rstrip("\n")
                if not path:
                    continue
                with Image.open(path) as image:
                    if image.size[0] <= 0:
                        raise ValueError("no size: " + path)
                count += 1
        return "ok %d" % count
    raise ValueError("unknown command " + command)


def oneshot(args):
    mode, path, out = args[0], args[1], args[2]
    with Image.open(path) as image:
        if mode == "draft":
            image.draft("RGB", (int(args[3]), int(args[4])))
        elif mode != "load":
            raise ValueError("unknown one-shot mode " + mode)
        image.load()
        image.save(out, "PPM")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "oneshot":
        oneshot(sys.argv[2:])
        return
    for line in sys.stdin:
        fields = line.rstrip("\n").split("\t")
        try:
            answer = run(fields)
        except Exception as error:  # reported to the caller, which stops
            answer = "error %s" % str(error).replace("\n", " ")
        sys.stdout.write(answer + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
