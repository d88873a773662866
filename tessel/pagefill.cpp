// tessel.pagefill: fills .docx document templates.
#include "placeholder.h"

namespace nb = nanobind;

NB_MODULE(pagefill, m) {
    m.doc() = "Fill placeholders of docx document templates.";
    // TODO(pagefill): imports, PageFill class.
}
