"""What the ``tessel`` command writes: output paths checked before anything is
filled, the folders they need, files put in place only once complete, and PDFs
converted with LibreOffice.
"""

import os
import shutil
import subprocess
import tempfile

from . import batch
from .errors import UsageError


def check_output(template, output, kind):
    """Refuse an OUTPUT that the template's kind cannot be written to, before anything is filled."""
    if is_pdf(output):
        if kind == ".txt":
            raise UsageError(f"OUTPUT {output}: a PDF is made from a .xlsx or .docx template")
    elif kind != ".txt" and not output.endswith(kind):
        raise UsageError(f"OUTPUT {output} must end in {kind}, like the template, or in .pdf")
    if os.path.isdir(output):
        raise UsageError(f"OUTPUT {output} is a folder")
    if os.path.exists(output) and os.path.samefile(template, output):
        raise UsageError("OUTPUT is the template itself; write the filled file elsewhere")


def make_folders(paths):
    """Create the missing folders of `paths`; return those created, deepest first."""
    created = []
    for folder in sorted({os.path.dirname(os.path.abspath(p)) for p in paths}):
        missing = []
        while not os.path.isdir(folder):
            missing.append(folder)
            folder = os.path.dirname(folder)
        for path in reversed(missing):
            try:
                os.mkdir(path)
            except OSError as exc:
                remove_folders(created)
                raise UsageError(f"cannot create folder {path}: {exc.strerror}") from None
            created.append(path)
    return created[::-1]


def remove_folders(folders):
    for folder in folders:
        try:
            os.rmdir(folder)
        except OSError:
            pass


def is_pdf(output):
    return output.lower().endswith(".pdf")


# -- PDF --------------------------------------------------------------------

# Where installers put LibreOffice when it is not on PATH.
SOFFICE_PLACES = (
    "/Applications/LibreOffice.app/Contents/MacOS/soffice",
    r"C:\Program Files\LibreOffice\program\soffice.exe",
)

INSTALL_LIBREOFFICE = (
    "writing a PDF needs LibreOffice, which was not found: install it (Debian/Ubuntu: "
    "sudo apt-get install libreoffice-writer-nogui libreoffice-calc-nogui; macOS: brew install "
    "--cask libreoffice; Windows: https://www.libreoffice.org/download/) and put soffice on PATH"
)


def find_soffice():
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if found:
        return found
    for place in SOFFICE_PLACES:
        if os.path.isfile(place):
            return place
    raise UsageError(INSTALL_LIBREOFFICE)


def convert_to_pdf(soffice, sources, folder):
    """Convert the files `sources` into PDFs in `folder` with LibreOffice; return each PDF's
    path, or None where LibreOffice made none."""
    import pathlib

    profile = tempfile.mkdtemp(prefix="tessel-soffice-")
    try:
        # A profile of its own: a LibreOffice already open would take the job over and not do it.
        command = [soffice, f"-env:UserInstallation={pathlib.Path(profile).as_uri()}", "--headless",
                   "--norestore", "--convert-to", "pdf", "--outdir", folder, *sources]
        try:
            subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=120 + 30 * len(sources), check=False)
        except subprocess.TimeoutExpired:
            raise UsageError("LibreOffice did not finish converting to PDF in time") from None
        except OSError as exc:
            raise UsageError(f"cannot run {soffice}: {exc.strerror}") from None
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    pdfs = []
    for source in sources:
        pdf = os.path.join(folder, os.path.splitext(os.path.basename(source))[0] + ".pdf")
        pdfs.append(pdf if os.path.isfile(pdf) and os.path.getsize(pdf) > 0 else None)
    return pdfs


def place_file(source, destination):
    """Copy `source` to `destination`, which is replaced only once the copy is complete."""
    tmp = batch._temporary_beside(destination)
    try:
        shutil.copyfile(source, tmp)
        os.chmod(tmp, batch._file_mode(destination))
        os.replace(tmp, destination)
    except BaseException:
        batch._remove(tmp)
        raise


def fill_pdf(filler, template, output, env, kind, soffice):
    with tempfile.TemporaryDirectory(prefix="tessel-pdf-") as work:
        filled = os.path.join(work, "filled" + kind)
        failed = batch.fill_one(filler, template, filled, env)
        pdf, = convert_to_pdf(soffice, [filled], work)
        if pdf is None:
            raise UsageError(f"LibreOffice could not convert the filled {kind} file to PDF")
        place_file(pdf, output)
    return failed
