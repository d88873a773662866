#include "workbook/package_hooks.h"

#include "ooxml/package.h"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::hooks {

using namespace nb::literals;
using ooxml::Package;

namespace {

// Rewrites `source` (a package file, stream or folder) into `target`, each part
// of `parts` streamed from its chunks (an iterable of bytes, iterated at commit,
// or at once for a folder), each name in `remove` dropped.  Returns the names
// the package reports as changed, among those it held and those given.
std::vector<std::string> rewrite_package(nb::handle source, nb::handle target, nb::dict parts,
                                         int compresslevel, std::vector<std::string> remove) {
    nb::module_ os = nb::module_::import_("os");
    const bool folder = !ooxml::is_stream(source) &&
                        nb::cast<bool>(os.attr("path").attr("isdir")(source));
    Package pkg = folder ? Package::from_dir(source, "template workbook")
                         : Package::from_zip(source, "template workbook");
    pkg.set_compress_level(compresslevel);
    std::vector<std::string> asked = pkg.names();
    for (auto [name, chunks] : parts) {
        std::string part = nb::cast<std::string>(name);
        asked.push_back(part);
        nb::object iterable = nb::borrow(chunks);
        pkg.write_streamed(part, [iterable](const ooxml::Emit &emit) {
            for (nb::handle chunk : iterable) {
                if (!PyBytes_Check(chunk.ptr()))
                    throw std::invalid_argument("a streamed part's chunks must be bytes");
                emit(std::string_view(PyBytes_AS_STRING(chunk.ptr()),
                                      static_cast<size_t>(PyBytes_GET_SIZE(chunk.ptr()))));
            }
        });
    }
    for (const std::string &part : remove) {
        asked.push_back(part);
        pkg.remove(part);
    }
    pkg.commit(target);
    std::vector<std::string> changed;
    for (const std::string &part : asked)
        if (pkg.changed(part))
            changed.push_back(part);
    return changed;
}

}  // namespace

void def_package_hooks(nb::module_ &m) {
    m.def("_rewrite_package", &rewrite_package, "source"_a, "target"_a, "parts"_a,
          "compresslevel"_a = 6, "remove"_a = std::vector<std::string>(),
          nb::sig("def _rewrite_package(source: str | typing.BinaryIO, "
                  "target: str | typing.BinaryIO, "
                  "parts: dict[str, typing.Iterable[bytes]], compresslevel: int = 6, "
                  "remove: list[str] = []) -> list[str]"));
}

}  // namespace tessel::hooks
