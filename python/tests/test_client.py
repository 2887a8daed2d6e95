import gc

import numpy
import pytest
from PIL import Image as PILImage

import imageserver
from conftest import INSTANCE


def mappings():
    """The address ranges of the shared memory this process maps."""
    ranges = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "memfd:" in line:
                begin, end = line.split()[0].split("-")
                ranges.append((int(begin, 16), int(end, 16)))
    return ranges


def mapped(address):
    return any(begin <= address < end for begin, end in mappings())


@pytest.fixture
def images(tmp_path):
    """A large RGB PNG (its pixels arrive in shared memory), a small
    grey one and a missing file."""
    pixels = numpy.arange(200 * 300 * 3, dtype=numpy.uint32).astype(numpy.uint8).reshape(200, 300, 3)
    large = tmp_path / "large.png"
    PILImage.fromarray(pixels, "RGB").save(large)
    small = tmp_path / "small.png"
    PILImage.new("L", (7, 3), 9).save(small)
    return {"large": large, "small": small, "missing": tmp_path / "missing.png", "pixels": pixels}


def client(runtime_dir, **options):
    return imageserver.Client(instance=INSTANCE, runtime_dir=runtime_dir, **options)


def test_a_missing_service_is_a_connection_error(tmp_path):
    with pytest.raises(imageserver.ConnectError) as raised:
        imageserver.Client(instance=INSTANCE + 1, runtime_dir=str(tmp_path))
    assert isinstance(raised.value, ConnectionError)
    assert str(tmp_path) in str(raised.value)


def test_info_read_and_decode_answer_each_path_in_order(runtime_dir, images):
    with client(runtime_dir) as c:
        assert c.interface_version()
        records = c.info([images["large"], images["missing"], images["small"]])
        assert [r.locator for r in records] == [str(images[k]) for k in ("large", "missing", "small")]
        assert [r.result for r in records] == [
            imageserver.Result.OK,
            imageserver.Result.INVALID_IMAGE,
            imageserver.Result.OK,
        ]
        assert (records[0].format, records[0].width, records[0].height) == (imageserver.Format.PNG, 300, 200)
        assert (records[2].width, records[2].height) == (7, 3)
        assert records[0].file_size == images["large"].stat().st_size

        assert c.read(images["small"]) == images["small"].read_bytes()
        with pytest.raises(imageserver.ImageError) as raised:
            c.read(images["missing"])
        assert raised.value.result == imageserver.Result.INVALID_IMAGE

        large, small = c.decode([images["large"], images["small"]])
        assert large.dtype == numpy.uint8 and large.shape[:2] == (200, 300)
        assert small.shape[:2] == (3, 7)
        rgb = numpy.asarray(large.to_pil().convert("RGB"))
        assert numpy.array_equal(rgb, images["pixels"])
        assert numpy.asarray(small.to_pil().convert("L")).max() == 9
        half, = c.decode([images["large"]], scale=2)
        assert half.shape[:2] == (100, 150)
        with pytest.raises(ValueError):
            c.decode([images["large"]], scale=128)


def test_decoded_arrays_view_the_shared_memory_and_keep_it_mapped(runtime_dir, images):
    c = client(runtime_dir)
    array, = c.decode([images["large"]])
    address = array.__array_interface__["data"][0]
    end = address + array.nbytes - 1
    assert mapped(address) and mapped(end)
    assert not array.flags.writeable and not array.flags.owndata
    view = array[10:20, 5:9]
    expected = numpy.array(view)  # a copy
    del array
    c.close()
    gc.collect()
    # The view alone keeps the answer's memory after the client has gone.
    assert mapped(address)
    assert numpy.array_equal(view, expected)
    del view
    gc.collect()
    assert not mapped(address)


def test_a_closed_client_refuses_requests(runtime_dir, images):
    c = client(runtime_dir)
    c.close()
    with pytest.raises(imageserver.ConnectionClosedError):
        c.info([images["small"]])
