// tessel.gridfill: fills .xlsx workbook templates and repairs the saved package.
#include "placeholder.h"
#include "workbook_repair.h"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(gridfill, m) {
    m.doc() = "Fill placeholders of xlsx workbook templates.";
    // TODO(gridfill): imports, GridFill class.
    m.def("restore_save", &tessel::repair::restore_save, "template_path"_a, "save_path"_a,
          "恢复所有形状相关资源并保存");
    m.def("fix_workbook_relationships", &tessel::repair::fix_workbook_relationships, "src_dir"_a,
          "des_dir"_a, "修复工作簿级关系");
    m.def("fix_worksheet_relationships", &tessel::repair::fix_worksheet_relationships, "src_dir"_a,
          "des_dir"_a, "修复工作表级关系");
    m.def("fix_content_types", &tessel::repair::fix_content_types, "src_dir"_a, "des_dir"_a,
          "修复内容类型声明");
    m.def("restore_drawing_tags", &tessel::repair::restore_drawing_tags, "src_dir"_a, "des_dir"_a,
          "恢复工作表级别的<drawing>标签");
}
