// Repairs a workbook package saved by openpyxl from the template it was filled
// from, so that drawings, charts, pictures, embedded objects and controls survive.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace tessel::repair {

namespace nb = nanobind;

// The content type of a part that a package may type by its extension only
// (pictures, embedded objects, relationships...), for a package that does not.
std::optional<std::string> known_default(const std::string &ext);

// Restores every shape-related resource of the template into the saved package and
// rewrites the file at save_path in place.  `inserted` ({sheet name: [(row,
// count), ...]} or None) gives the rows a fill inserted: the template's objects
// move over them as the cells did, and so does every reference of the package, as
// move_inserted_rows moves them.
void restore_save(nb::handle template_path, nb::handle save_path, nb::handle inserted);

// Moves the references of the saved package at save_path (formulas, names,
// ranges, charts...) over the rows a fill inserted, and rewrites the file in place.
void move_inserted_rows(nb::handle save_path, nb::handle inserted);

// Each repair reads the extracted template tree (src_dir) and the extracted saved
// tree (des_dir) and writes only inside the saved tree.
void fix_workbook_relationships(nb::handle src_dir, nb::handle des_dir);
void fix_worksheet_relationships(nb::handle src_dir, nb::handle des_dir);
void fix_content_types(nb::handle src_dir, nb::handle des_dir);
void restore_drawing_tags(nb::handle src_dir, nb::handle des_dir);

}  // namespace tessel::repair
