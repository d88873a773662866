"""PageFill on crafted documents: drawing ids at the top of their range."""

import io

import docx
import pytest
from PIL import Image

from tessel.pagefill import PageFill


def png():
    stream = io.BytesIO()
    Image.new("RGB", (20, 10), "navy").save(stream, "PNG")
    return stream


@pytest.mark.parametrize(
    "ids, new",
    [(["4294967295"], 1), (["1", "2", "4294967295"], 3), (["4294967294"], 4294967295),
     (["99999999999999999999"], 1)],
)
def test_new_pictures_take_a_free_drawing_id(tmp_path, ids, new):
    doc = docx.Document()
    for shape_id in ids:
        doc.add_paragraph().add_run().add_picture(png())._inline.docPr.set("id", shape_id)
    doc.add_paragraph("{logo}")
    doc.save(tmp_path / "t.docx")
    assert PageFill()(str(tmp_path / "t.docx"), str(tmp_path / "o.docx"), {"logo": png()}) == []
    taken = [s._inline.docPr.get("id") for s in docx.Document(tmp_path / "o.docx").inline_shapes]
    assert taken == ids + [str(new)]
