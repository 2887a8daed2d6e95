#!/usr/bin/python3
"""Runs Python work for imageserver-bench in one long-lived process: Pillow,
and the service through its Python package.

The benchmark program starts this once and sends one command per line on
stdin; each answer is one line on stdout. Keeping the interpreter alive means
that only the library work is timed, never Python's start-up.

Commands (tab-separated):
  load PATH                 decode at full size            -> "ok W H"
  draft PATH W H            draft('RGB', (W, H)) + load()  -> "ok W H"
  thumbnail PATH W H        thumbnail((W, H))              -> "ok W H"
  infolist LISTFILE         open each listed file, read its size (header only)
                                                           -> "ok COUNT"
  array PATH                load() + numpy.asarray(), every byte read
                                                           -> "ok W H"
  client-decode PATH        the service's decode() to a numpy array, every
                            byte read                      -> "ok W H"
  client-infolist LISTFILE  the service's info() for every listed file, in
                            one call                       -> "ok COUNT"
The client commands connect once, to the runtime folder COMM_RUNTIME_DIR
names, and load the imageserver package from PYTHONPATH.
Any failure answers "error TEXT".

Run with arguments instead, it does one job as a whole process and writes
the picture as binary PPM, for the one-shot comparison of whole processes:
  pillow_worker.py oneshot load PATH OUT
  pillow_worker.py oneshot draft PATH OUT W H
"""
import os
import sys

import numpy
from PIL import Image

Image.MAX_IMAGE_PIXELS = None

_client = None


def client():
    global _client
    if _client is None:
        import imageserver

        _client = imageserver.Client(runtime_dir=os.environ.get("COMM_RUNTIME_DIR"))
    return _client


def read_all(array):
    """Reads every byte of |array|, eight at a time where it can, as the
    benchmark's C++ consumer does."""
    flat = array.reshape(-1)
    whole = flat.size - flat.size % 8
    total = int(flat[:whole].view(numpy.uint64).sum(dtype=numpy.uint64))
    return total + int(flat[whole:].sum(dtype=numpy.uint64))


def listed(listfile):
    with open(listfile, encoding="utf-8") as listing:
        return [line.rstrip("\n") for line in listing if line.strip()]


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
        for path in listed(fields[1]):
            with Image.open(path) as image:
                if image.size[0] <= 0:
                    raise ValueError("no size: " + path)
            count += 1
        return "ok %d" % count
    if command == "array":
        with Image.open(fields[1]) as image:
            image.load()
            array = numpy.asarray(image)
        read_all(array)
        return "ok %d %d" % (array.shape[1], array.shape[0])
    if command == "client-decode":
        (array,) = client().decode([fields[1]])
        read_all(array)
        return "ok %d %d" % (array.shape[1], array.shape[0])
    if command == "client-infolist":
        records = client().info(listed(fields[1]))
        if any(record.width <= 0 for record in records):
            raise ValueError("a file without its size")
        return "ok %d" % len(records)
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
