// Tells an Office Open XML package (a ZIP archive) from the files that users
// often hand over in its place: legacy binary Office files, password-protected
// packages, OpenDocument, RTF, PDF, HTML or CSV saved under an .xlsx name.
#pragma once

#include <nanobind/nanobind.h>

namespace tessel {

namespace nb = nanobind;

// Raises ValueError naming what the file at `path` is and what to do, unless it
// is a ZIP archive that may hold a package of the family of `extension`
// (".xlsx" or ".docx").  Reads only the file's first bytes (and, for an OLE
// compound file, its directory), so that a loader never decodes a file it
// cannot read.  A missing file is left for the loader to report; a `path` that
// is no path (a stream) is not looked at.
void require_package(nb::handle path, const char *extension);

}  // namespace tessel
