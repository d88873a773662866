#include "workbook_repair.h"

namespace tessel::repair {

void restore_save(nb::handle, nb::handle) { throw nb::builtin_exception(nb::exception_type::runtime_error, "TODO"); }
void fix_workbook_relationships(nb::handle, nb::handle) { throw nb::builtin_exception(nb::exception_type::runtime_error, "TODO"); }
void fix_worksheet_relationships(nb::handle, nb::handle) { throw nb::builtin_exception(nb::exception_type::runtime_error, "TODO"); }
void fix_content_types(nb::handle, nb::handle) { throw nb::builtin_exception(nb::exception_type::runtime_error, "TODO"); }
void restore_drawing_tags(nb::handle, nb::handle) { throw nb::builtin_exception(nb::exception_type::runtime_error, "TODO"); }

}  // namespace tessel::repair
