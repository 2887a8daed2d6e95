"""Client of the image service: information, file bytes and decoded pixels
of local images, over the C interface of libimageserverclient.so.2.

    import imageserver
    with imageserver.Client() as client:
        for record in client.info(["/pictures/a.jpg"]):
            print(record.width, record.height, record.format.name)
        data = client.read("/pictures/a.jpg")
        image, = client.decode(["/pictures/a.jpg"], scale=2)
        image.to_pil().save("a.png")

Decoded images are numpy arrays of shape (height, width, channels) and dtype
uint8 over the shared memory the service's answer arrived in: no copy is
made, the arrays are read-only, and the memory stays mapped while any array
(or view of one) refers to it, also after the client is closed.

A Client may be used from several threads; their requests run one after the
other.
"""

import ctypes
import dataclasses
import enum
import os
from typing import List, Optional, Sequence, Union

import numpy

__all__ = [
    "Client",
    "Result",
    "Format",
    "Info",
    "Image",
    "ImageServerError",
    "ConnectError",
    "ConnectionClosedError",
    "RequestTimeoutError",
    "ImageError",
]

_LIBRARY_VARIABLE = "IMAGESERVER_CLIENT_LIBRARY"
_LIBRARY_NAME = "libimageserverclient.so.2"


class Result(enum.IntEnum):
    """The result of one answer, as the service numbers it."""

    OK = 0
    OUT_OF_MEMORY = 1
    INVALID_IMAGE = 2
    READ_INCOMPLETE = 4


class Format(enum.IntEnum):
    """Source types (JPEG..WEBP) and decoded pixel formats (L8..ARGB8888)."""

    JPEG = 0
    PNG = 1
    GIF = 2
    BMP = 3
    WEBP = 4
    L8 = 5
    LA88 = 6
    RGB565 = 7
    RGB888 = 8
    BGR888 = 9
    RGBA8888 = 10
    BGRA8888 = 11
    ARGB8888 = 12
    UNKNOWN = 13


def _format(value: int) -> Format:
    try:
        return Format(value)
    except ValueError:
        return Format.UNKNOWN


def _result(value: int) -> Union[Result, int]:
    try:
        return Result(value)
    except ValueError:
        return value


# Error codes of the C interface.
_OK = 0
_ERROR_INVALID_ARGUMENT = 1
_ERROR_CONNECT = 2
_ERROR_CLOSED = 3
_ERROR_TIMEOUT = 4
_ERROR_OUT_OF_MEMORY = 5


class ImageServerError(Exception):
    """A failure of the client library; |code| is its error code."""

    def __init__(self, message: str, code: int = 0):
        super().__init__(message)
        self.code = code


class ConnectError(ImageServerError, ConnectionError):
    """No service was reached; the message names every socket tried."""


class ConnectionClosedError(ImageServerError, ConnectionError):
    """The connection to the service closed."""


class RequestTimeoutError(ImageServerError, TimeoutError):
    """Not every answer came within the request timeout."""


class ImageError(ImageServerError):
    """The service answered a locator with a failure (|result|)."""

    def __init__(self, locator: str, result: Union[Result, int]):
        name = "RESULT_" + result.name if isinstance(result, Result) else str(result)
        super().__init__(f"{locator}: {name}")
        self.locator = locator
        self.result = result


class _Error(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int32), ("message", ctypes.c_char * 1024)]


class _Options(ctypes.Structure):
    _fields_ = [
        ("instance", ctypes.c_uint32),
        ("runtime_dir", ctypes.c_char_p),
        ("connect_timeout", ctypes.c_double),
        ("request_timeout", ctypes.c_double),
    ]


class _Answer(ctypes.Structure):
    _fields_ = [
        ("locator", ctypes.c_char_p),
        ("result", ctypes.c_int32),
        ("has_info", ctypes.c_int32),
        ("format", ctypes.c_int32),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("hash", ctypes.c_int64),
        ("file_size", ctypes.c_int64),
        ("decoded", ctypes.c_int32),
        ("shared", ctypes.c_int32),
        ("data", ctypes.c_void_p),
        ("length", ctypes.c_size_t),
    ]


_lib = None


def _library():
    """Loads the client library once: $IMAGESERVER_CLIENT_LIBRARY, else the
    loader's search path."""
    global _lib
    if _lib is not None:
        return _lib
    lib = ctypes.CDLL(os.environ.get(_LIBRARY_VARIABLE) or _LIBRARY_NAME)
    handle = ctypes.c_void_p
    answers_out = ctypes.POINTER(ctypes.c_void_p)
    locators = ctypes.POINTER(ctypes.c_char_p)
    error = ctypes.POINTER(_Error)
    for name, restype, argtypes in [
        ("imageserver_connect_options_init", None, [ctypes.POINTER(_Options)]),
        ("imageserver_connect", handle, [ctypes.POINTER(_Options), error]),
        ("imageserver_close", None, [handle]),
        ("imageserver_info", ctypes.c_int32, [handle, locators, ctypes.c_size_t, answers_out, error]),
        ("imageserver_read", ctypes.c_int32, [handle, locators, ctypes.c_size_t, answers_out, error]),
        (
            "imageserver_decode",
            ctypes.c_int32,
            [handle, locators, ctypes.c_size_t, ctypes.c_int32, answers_out, error],
        ),
        ("imageserver_answers_count", ctypes.c_size_t, [handle]),
        ("imageserver_answers_get", ctypes.POINTER(_Answer), [handle, ctypes.c_size_t]),
        ("imageserver_answers_release", None, [handle]),
        (
            "imageserver_interface_version",
            ctypes.c_int32,
            [handle, ctypes.c_char_p, ctypes.c_size_t, error],
        ),
    ]:
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    _lib = lib
    return lib


def _raise(error: _Error):
    message = error.message.decode("utf-8", "replace")
    kind = {
        _ERROR_CONNECT: ConnectError,
        _ERROR_CLOSED: ConnectionClosedError,
        _ERROR_TIMEOUT: RequestTimeoutError,
    }.get(error.code, ImageServerError)
    if error.code == _ERROR_OUT_OF_MEMORY:
        raise MemoryError(message)
    if error.code == _ERROR_INVALID_ARGUMENT:
        raise ValueError(message)
    raise kind(message, error.code)


class _Answers:
    """Owns the C answers of one request; releasing them unmaps their memory.
    Every array over that memory refers to this object."""

    def __init__(self, lib, handle: int):
        self._lib = lib
        self._handle = handle

    def __len__(self):
        return self._lib.imageserver_answers_count(self._handle)

    def __getitem__(self, index: int) -> _Answer:
        return self._lib.imageserver_answers_get(self._handle, index).contents

    def __del__(self):
        if self._handle:
            self._lib.imageserver_answers_release(self._handle)
            self._handle = None


@dataclasses.dataclass(frozen=True)
class Info:
    """The information record of one locator. The other fields are 0 when
    |result| is not Result.OK."""

    locator: str
    result: Union[Result, int]
    format: Format
    width: int
    height: int
    hash: int
    file_size: int


# Channels (bytes per pixel) of the decoded formats, and how PIL reads them:
# its mode and raw mode.
_PIXELS = {
    Format.L8: (1, "L", "L"),
    Format.LA88: (2, "LA", "LA"),
    Format.RGB565: (2, "RGB", "BGR;16"),
    Format.RGB888: (3, "RGB", "RGB"),
    Format.BGR888: (3, "RGB", "BGR"),
    Format.RGBA8888: (4, "RGBA", "RGBA"),
    Format.BGRA8888: (4, "RGBA", "BGRA"),
    Format.ARGB8888: (4, "RGBA", "ARGB"),
}


class Image(numpy.ndarray):
    """Decoded pixels: a read-only uint8 array of shape (height, width,
    channels) over the answer's shared memory. |format| is the pixel format
    (RGB565 has 2 channels holding the packed 16-bit pixel), |locator| the
    locator as sent."""

    format: Format = Format.UNKNOWN
    locator: str = ""

    def __array_finalize__(self, source):
        if source is not None:
            self.format = getattr(source, "format", Format.UNKNOWN)
            self.locator = getattr(source, "locator", "")

    def to_pil(self):
        """A PIL image of these pixels (it shares them where PIL can read
        the format as it is)."""
        from PIL import Image as PILImage

        _, mode, raw = _PIXELS[self.format]
        height, width = self.shape[:2]
        array = numpy.asarray(self)
        return PILImage.frombuffer(mode, (width, height), array, "raw", raw, array.strides[0], 1)


def _image(answers: _Answers, answer: _Answer) -> Image:
    locator = answer.locator.decode("utf-8", "surrogateescape")
    format = _format(answer.format)
    if format not in _PIXELS or answer.data is None or answer.height == 0:
        raise ImageError(locator, _result(answer.result))
    channels = _PIXELS[format][0]
    stride = answer.length // answer.height
    if stride < answer.width * channels:
        raise ImageError(locator, _result(answer.result))
    memory = (ctypes.c_uint8 * answer.length).from_address(answer.data)
    memory._answers = answers  # the mapping lives as long as this buffer
    array = numpy.ndarray(
        (answer.height, answer.width, channels),
        dtype=numpy.uint8,
        buffer=memory,
        strides=(stride, channels, 1),
    ).view(Image)
    array.flags.writeable = False
    array.format = format
    array.locator = locator
    return array


class Client:
    """One connection to a service instance; a context manager that closes
    it. Raises ConnectError when no service is reached."""

    _handle = None

    def __init__(
        self,
        instance: int = 0,
        runtime_dir: Optional[str] = None,
        connect_timeout: float = 30.0,
        request_timeout: float = 30.0,
    ):
        self._lib = _library()
        options = _Options()
        self._lib.imageserver_connect_options_init(ctypes.byref(options))
        options.instance = instance
        options.runtime_dir = os.fsencode(runtime_dir) if runtime_dir else None
        options.connect_timeout = connect_timeout
        options.request_timeout = request_timeout
        error = _Error()
        self._handle = self._lib.imageserver_connect(ctypes.byref(options), ctypes.byref(error))
        if not self._handle:
            _raise(error)

    def close(self):
        """Closes the connection; arrays already received stay valid."""
        if self._handle:
            self._lib.imageserver_close(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()

    def _request(self, function, paths: Sequence[Union[str, os.PathLike]], *extra) -> _Answers:
        if not self._handle:
            raise ConnectionClosedError("the client is closed", _ERROR_CLOSED)
        if isinstance(paths, (str, bytes, os.PathLike)):
            raise TypeError("paths must be a sequence of paths")
        encoded = [os.fsencode(path) for path in paths]
        locators = (ctypes.c_char_p * len(encoded))(*encoded)
        handle = ctypes.c_void_p()
        error = _Error()
        args = (self._handle, locators, len(encoded), *extra, ctypes.byref(handle), ctypes.byref(error))
        if function(*args) != _OK:
            _raise(error)
        return _Answers(self._lib, handle.value)

    def info(self, paths: Sequence[Union[str, os.PathLike]]) -> List[Info]:
        """One information record per path, in their order."""
        answers = self._request(self._lib.imageserver_info, paths)
        records = []
        for i in range(len(answers)):
            a = answers[i]
            records.append(
                Info(
                    locator=a.locator.decode("utf-8", "surrogateescape"),
                    result=_result(a.result),
                    format=_format(a.format) if a.has_info else Format.UNKNOWN,
                    width=a.width,
                    height=a.height,
                    hash=a.hash,
                    file_size=a.file_size,
                )
            )
        return records

    def read(self, path: Union[str, os.PathLike]) -> bytes:
        """The file's bytes; ImageError when the service refuses it."""
        answers = self._request(self._lib.imageserver_read, [path])
        answer = answers[0]
        if answer.result != Result.OK or answer.data is None:
            raise ImageError(answer.locator.decode("utf-8", "surrogateescape"), _result(answer.result))
        return ctypes.string_at(answer.data, answer.length)

    def decode(self, paths: Sequence[Union[str, os.PathLike]], scale: int = 1) -> List[Image]:
        """The decoded pixels of each path, in their order, reduced by |scale|
        when it is 2 or more (at most 127). ImageError when the service could
        not decode one of them."""
        answers = self._request(self._lib.imageserver_decode, paths, scale)
        return [_image(answers, answers[i]) for i in range(len(answers))]

    def interface_version(self) -> str:
        """The service's interface version."""
        if not self._handle:
            raise ConnectionClosedError("the client is closed", _ERROR_CLOSED)
        buffer = ctypes.create_string_buffer(256)
        error = _Error()
        if self._lib.imageserver_interface_version(self._handle, buffer, len(buffer), ctypes.byref(error)) != _OK:
            _raise(error)
        return buffer.value.decode("utf-8", "replace")
