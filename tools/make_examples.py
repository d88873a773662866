"""Build the example templates that ``tessel demo`` fills.

Run from the repository root after changing this script, and commit the files
it writes to src/tessel/examples/:

    python tools/make_examples.py
"""

import io
import os

import docx
import openpyxl
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.opc.constants import RELATIONSHIP_TYPE
from docx.oxml import OxmlElement
from docx.oxml.ns import qn
from docx.shared import Cm, Pt, RGBColor
from openpyxl.chart import BarChart, Reference
from openpyxl.styles import Alignment, Border, Font, PatternFill, Side
from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, os.pardir, "src", "tessel", "examples")
TILES = [(0x2E, 0x6F, 0x9E), (0xE0, 0x8E, 0x2B), (0x4C, 0xA6, 0x6B), (0xC4, 0x45, 0x45)]


def logo_png():
    """A small logo: four tiles and a bar, drawn without any font."""
    image = Image.new("RGB", (120, 40), "white")
    draw = ImageDraw.Draw(image)
    for k, colour in enumerate(TILES):
        x, y = 4 + (k % 2) * 17, 4 + (k // 2) * 17
        draw.rectangle([x, y, x + 14, y + 14], fill=colour)
    draw.rectangle([44, 14, 114, 24], fill=TILES[0])
    out = io.BytesIO()
    image.save(out, format="PNG", optimize=True)
    return out.getvalue()


def make_workbook(path):
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Sales"
    # Every text names its font: a cell style without one falls back to the
    # viewer's default face, a serif in LibreOffice.
    font = "Calibri"
    ws["A1"] = "{title}"
    ws["A1"].font = Font(name=font, size=16, bold=True)
    ws["A2"] = "Prepared for {customer} on {date.strftime('%d %B %Y')}"
    ws["A2"].font = Font(name=font, size=11, color="595959")
    # The logo sits right of the table, within one printed page width.
    ws["E1"] = "{logo}"
    for cell, text in zip(("A4", "B4", "C4"), ("Month", "Revenue", "Costs")):
        ws[cell] = text
        ws[cell].font = Font(name=font, bold=True, color="FFFFFF")
        ws[cell].fill = PatternFill("solid", fgColor="2E6F9E")
        if cell != "A4":
            ws[cell].alignment = Alignment(horizontal="right")
    # The template row of the block: the frame's rows take its fonts, number
    # formats and borders, and, filled with insert=True, push the total down.
    ws["A5"] = "{sales}"
    line = Side(style="thin", color="D9D9D9")
    for col in "ABC":
        ws[f"{col}5"].font = Font(name=font)
        ws[f"{col}5"].border = Border(bottom=line)
    ws["B5"].number_format = ws["C5"].number_format = "#,##0"
    ws["A6"] = "Total"
    ws["B6"] = "=SUM(B5:B5)"
    ws["C6"] = "=SUM(C5:C5)"
    for col in "ABC":
        ws[f"{col}6"].font = Font(name=font, bold=True)
        ws[f"{col}6"].border = Border(top=Side(style="thin", color="2E6F9E"))
    ws["B6"].number_format = ws["C6"].number_format = "#,##0"
    ws["A8"] = "Best month: {sales.loc[sales['Revenue'].idxmax(), 'Month']}"
    ws["A8"].font = Font(name=font)
    ws.column_dimensions["A"].width = 14
    ws.column_dimensions["B"].width = 12
    ws.column_dimensions["C"].width = 12
    ws.oddFooter.left.text = "{title}, {customer}"
    ws.oddFooter.right.text = "Page &P of &N"

    chart = BarChart()
    chart.title = "Revenue and costs"
    chart.y_axis.title = "EUR"
    # The series cover the header and the template row: the rows the block
    # inserts extend them.
    chart.add_data(Reference(ws, min_col=2, max_col=3, min_row=4, max_row=5), titles_from_data=True)
    chart.set_categories(Reference(ws, min_col=1, min_row=5, max_row=5))
    chart.width, chart.height = 14, 7
    ws.add_chart(chart, "A10")
    wb.save(path)


def add_hyperlink(paragraph, url, text):
    rel = paragraph.part.relate_to(url, RELATIONSHIP_TYPE.HYPERLINK, is_external=True)
    link = OxmlElement("w:hyperlink")
    link.set(qn("r:id"), rel)
    run = OxmlElement("w:r")
    props = OxmlElement("w:rPr")
    style = OxmlElement("w:rStyle")
    style.set(qn("w:val"), "Hyperlink")
    props.append(style)
    colour = OxmlElement("w:color")
    colour.set(qn("w:val"), "0563C1")
    props.append(colour)
    underline = OxmlElement("w:u")
    underline.set(qn("w:val"), "single")
    props.append(underline)
    run.append(props)
    t = OxmlElement("w:t")
    t.text = text
    run.append(t)
    link.append(run)
    paragraph._p.append(link)


def make_document(path, logo):
    doc = docx.Document()
    header = doc.sections[0].header.paragraphs[0]
    header.add_run().add_picture(io.BytesIO(logo), width=Cm(3))
    header.add_run("    tessel demo")
    header.alignment = WD_ALIGN_PARAGRAPH.RIGHT

    doc.add_heading("Order {order_id}", level=1)
    greeting = doc.add_paragraph("Dear ")
    # One placeholder typed in two runs of the same formatting, as editors
    # often store it after a spelling check or an undo.
    greeting.add_run("{cust")
    greeting.add_run("omer},")
    doc.add_paragraph("here is what you ordered on {date.strftime('%d %B %Y')}:")

    table = doc.add_table(rows=2, cols=3)
    table.style = "Table Grid"
    for cell, text in zip(table.rows[0].cells, ("Item", "Quantity", "Price")):
        cell.text = ""
        cell.paragraphs[0].add_run(text).bold = True
    # The frame's rows grow the table from here.
    table.rows[1].cells[0].text = "{items}"

    total = doc.add_paragraph()
    total.paragraph_format.space_before = Pt(8)
    total.add_run("Total: ").bold = True
    total.add_run("{format(total, ',.2f')} EUR")

    doc.add_paragraph("Your orders by month:")
    doc.add_paragraph("{chart}")

    contact = doc.add_paragraph("Questions? Read the ")
    add_hyperlink(contact, "https://example.com/tessel/orders", "order help pages")
    contact.add_run(" or answer this letter.")
    signature = doc.add_paragraph()
    run = signature.add_run("{sender}")
    run.italic = True
    run.font.size = Pt(11)
    run.font.color.rgb = RGBColor(0x2E, 0x6F, 0x9E)
    doc.save(path)


def main():
    logo = logo_png()
    with open(os.path.join(EXAMPLES, "logo.png"), "wb") as f:
        f.write(logo)
    make_workbook(os.path.join(EXAMPLES, "report.xlsx"))
    make_document(os.path.join(EXAMPLES, "order.docx"), logo)


if __name__ == "__main__":
    main()
