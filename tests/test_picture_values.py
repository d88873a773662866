"""Pictures and tables as values: lengths, sizes and what counts as a picture."""

import io

import matplotlib
import pandas as pd
import pytest

import tessel
from tessel.pictures import Picture, fitted, length, picture_of

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PNG = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360000002000154a24f5d0000000049454e44ae426082"
)


@pytest.mark.parametrize(
    "given, emu",
    [("4cm", 1440000), ("30mm", 1080000), ("2in", 1828800), ("120px", 1143000), ("72pt", 914400),
     (" 2.5 CM ", 900000), (".5in", 457200), (914400, 914400), (None, None)],
)
def test_lengths_in_emus(given, emu):
    assert length(given) == emu


@pytest.mark.parametrize(
    "given, error, words",
    [("4 furlongs", ValueError, "'4 furlongs'"), ("-2cm", ValueError, "'-2cm'"), ("914400", ValueError, "'914400'"),
     (0, ValueError, "more than 0"), (10**20, ValueError, "at most"), (2.5, TypeError, "float"),
     (True, TypeError, "bool"), ("0mm", ValueError, "more than 0")],
)
def test_bad_lengths_say_what_a_length_is(given, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(")):
        length(given, "height")


@pytest.mark.parametrize(
    "width, height, expected",
    [(None, None, (200, 100)), (400, None, (400, 200)), (None, 50, (100, 50)),
     (30, 40, (30, 40))],
)
def test_one_side_keeps_the_aspect_ratio(width, height, expected):
    assert Picture(PNG, width, height).size(200, 100) == expected


@pytest.mark.parametrize("box, expected", [((100, 100), (100, 50)), ((400, 50), (100, 50)), ((30, 300), (30, 15))])
def test_fitted_keeps_the_ratio_inside_the_box(box, expected):
    assert fitted(200, 100, *box) == expected


def test_sources_of_a_picture(tmp_path):
    path = tmp_path / "dot.png"
    path.write_bytes(PNG)
    with open(path, "rb") as f:
        for source in (PNG, bytearray(PNG), io.BytesIO(PNG), path, str(path), f):
            assert Picture(source).data == PNG
    with pytest.raises(TypeError, match="not int"):
        Picture(3)


def test_what_is_a_picture():
    figure = plt.figure(figsize=(2, 1), dpi=50)
    try:
        drawn = picture_of(figure)
        assert drawn.data.startswith(b"\x89PNG")
        from PIL import Image

        assert Image.open(io.BytesIO(drawn.data)).size == (100, 50)  # at the figure's own dpi
    finally:
        plt.close(figure)
    given = Picture(PNG, "1cm")
    assert picture_of(given) is given
    assert picture_of(io.BytesIO(PNG)).data == PNG
    for value in (PNG, "logo.png", 3, None):
        assert picture_of(value) is None


def test_table_values():
    frame = pd.DataFrame({"a": [1, 2]})
    assert tessel.Table(frame).header and tessel.Table(frame.style).frame is not None
    assert tessel.Table(frame["a"], "Light List", header=False).style == "Light List"
    with pytest.raises(TypeError, match="not list"):
        tessel.Table([1, 2])
    with pytest.raises(TypeError, match="style"):
        tessel.Table(frame, style=3)
    assert tessel.Picture is Picture
