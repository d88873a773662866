"""The bundled example templates and the variables that fill them (``tessel demo``)."""

import datetime
import io
from importlib import resources

TEMPLATES = ("report.xlsx", "order.docx", "letter.txt")


def example(name):
    """Path of a bundled example template."""
    return str(resources.files("tessel").joinpath("examples", name))


def _chart_png(values, labels):
    """A bar chart picture drawn with Pillow alone, so the demo needs no plotting library."""
    from PIL import Image, ImageDraw

    width, height, margin = 480, 220, 24
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    top = max(values)
    step = (width - 2 * margin) / len(values)
    for k, (value, label) in enumerate(zip(values, labels)):
        x0 = margin + k * step + step * 0.15
        x1 = margin + (k + 1) * step - step * 0.15
        y0 = height - margin - (height - 2 * margin) * value / top
        draw.rectangle([x0, y0, x1, height - margin], fill=(0x2E, 0x6F, 0x9E))
        draw.text((x0, height - margin + 4), label, fill="black")
    draw.line([margin, height - margin, width - margin, height - margin], fill="black")
    out = io.BytesIO()
    image.save(out, format="PNG")
    out.seek(0)
    return out


def demo_variables(template):
    """The variables that fill the bundled example `template`."""
    import pandas as pd

    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun"]
    sales = pd.DataFrame(
        {
            "Month": months,
            "Revenue": [12400, 13900, 12100, 15800, 17250, 16900],
            "Costs": [9100, 9800, 9900, 10400, 11800, 11200],
        }
    )
    items = pd.DataFrame(
        {
            "Item": ["analytical engine", "punched cards", "brass gears"],
            "Quantity": [1, 500, 24],
            "Price": ["9,800.00", "1,250.00", "1,295.50"],
        }
    )
    env = {
        "customer": "Ada Lovelace",
        "order_id": "A-1042",
        "date": datetime.date(2026, 12, 7),
        "total": 12345.5,
        "sender": "The tessel team",
    }
    if template == "report.xlsx":
        with open(example("logo.png"), "rb") as f:
            env.update(title="Half-year sales", sales=sales, logo=io.BytesIO(f.read()))
    elif template == "order.docx":
        env.update(items=items, chart=_chart_png(sales["Revenue"].tolist(), months))
    else:
        env.update(items=list(items["Item"]))
    return env
