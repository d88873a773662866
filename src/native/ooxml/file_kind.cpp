#include "ooxml/file_kind.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>

namespace tessel {

namespace {

// Enough for every signature below, and for the name of a ZIP archive's first entry.
constexpr Py_ssize_t kHeadSize = 512;

// Bounds the walk of an OLE directory, whose sector chain a damaged file can loop.
constexpr int kMaxDirectorySectors = 4096;

constexpr std::uint32_t kLastSector = 0xFFFFFFFA;  // larger values end a chain or mark free sectors

std::uint32_t le32(const std::string &s, size_t at) {
    if (at + 4 > s.size())
        return 0xFFFFFFFF;
    return (std::uint32_t) (unsigned char) s[at] | (std::uint32_t) (unsigned char) s[at + 1] << 8 |
           (std::uint32_t) (unsigned char) s[at + 2] << 16 |
           (std::uint32_t) (unsigned char) s[at + 3] << 24;
}

std::uint16_t le16(const std::string &s, size_t at) {
    if (at + 2 > s.size())
        return 0;
    return (std::uint16_t) ((unsigned char) s[at] | (unsigned char) s[at + 1] << 8);
}

bool starts_with(const std::string &s, const char *prefix, size_t length) {
    return s.size() >= length && std::memcmp(s.data(), prefix, length) == 0;
}

// An open file read through Python, so that every kind of path works as open() takes it.
class Reader {
public:
    explicit Reader(nb::object file) : file_(std::move(file)) {}

    std::string read_at(std::uint64_t offset, Py_ssize_t size) {
        file_.attr("seek")(offset);
        nb::object data = file_.attr("read")(size);
        char *buffer = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) < 0)
            throw nb::python_error();
        return std::string(buffer, (size_t) length);
    }

private:
    nb::object file_;
};

// The names of the streams and storages of an OLE compound file, read from its
// directory chain; empty where the header or the chain is damaged.
std::unordered_set<std::string> ole_names(const std::string &head, Reader &file) {
    std::unordered_set<std::string> names;
    const std::uint16_t shift = le16(head, 0x1E);
    if (shift != 9 && shift != 12)
        return names;
    const std::uint64_t sector_size = (std::uint64_t) 1 << shift;
    const std::uint32_t per_fat_sector = (std::uint32_t) (sector_size / 4);
    auto sector = [&](std::uint32_t n) { return file.read_at(((std::uint64_t) n + 1) << shift, (Py_ssize_t) sector_size); };
    // The FAT entry that links sector n to the next, through the header's first
    // 109 FAT sectors (a directory lies within them in all but huge files).
    auto next = [&](std::uint32_t n) -> std::uint32_t {
        const std::uint32_t index = n / per_fat_sector;
        if (index >= 109)
            return 0xFFFFFFFF;
        const std::uint32_t fat_sector = le32(head, 0x4C + 4 * (size_t) index);
        if (fat_sector >= kLastSector)
            return 0xFFFFFFFF;
        return le32(sector(fat_sector), 4 * (size_t) (n % per_fat_sector));
    };
    std::uint32_t at = le32(head, 0x30);
    for (int count = 0; at < kLastSector && count < kMaxDirectorySectors; ++count) {
        const std::string entries = sector(at);
        if (entries.size() < sector_size)
            break;
        for (size_t e = 0; e + 128 <= entries.size(); e += 128) {
            const std::uint16_t bytes = le16(entries, e + 0x40);
            std::string name;
            for (size_t k = 0; k + 2 <= std::min<size_t>(bytes, 64); k += 2) {
                const std::uint16_t c = le16(entries, e + k);
                if (c == 0)
                    break;
                name.push_back(c < 128 ? (char) c : '?');
            }
            if (!name.empty())
                names.insert(name);
        }
        at = next(at);
    }
    return names;
}

std::string lower_ascii(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char) std::tolower(c); });
    return s;
}

// The text of `head` after a UTF-8 byte order mark and leading white space.
std::string text_start(const std::string &head) {
    size_t at = starts_with(head, "\xEF\xBB\xBF", 3) ? 3 : 0;
    while (at < head.size() && std::isspace((unsigned char) head[at]))
        ++at;
    return head.substr(at);
}

bool looks_like_text(const std::string &head) {
    if (head.find('\0') != std::string::npos)
        return false;
    // A UTF-8 sequence cut off by the end of `head` still counts as text.
    PyObject *decoded = PyUnicode_DecodeUTF8(head.data(), (Py_ssize_t) head.size(), "ignore");
    if (!decoded)
        throw nb::python_error();
    nb::object text = nb::steal(decoded);
    return PyUnicode_GET_LENGTH(text.ptr()) * 4 >= (Py_ssize_t) head.size() * 3;
}

struct Family {
    const char *extension;  // ".xlsx"
    const char *noun;       // "workbook"
    const char *legacy;     // "an Excel 97-2003 workbook (.xls)"
    const char *app;        // "Excel"
};

const Family kWorkbook{".xlsx", "workbook", "an Excel 97-2003 workbook (.xls)", "Excel"};
const Family kDocument{".docx", "document", "a Word 97-2003 document (.doc)", "Word"};

// What the file is, as the end of "<path> is ...", with what to do; empty when it
// is a ZIP archive of no other known kind.
std::string foreign_kind(const std::string &head, Reader &file, const Family &family) {
    const std::string save_as = std::string("open it in ") + family.app +
                                " or LibreOffice and save it as " + family.extension;
    const std::string not_package = std::string(", not a ") + family.extension + " " + family.noun;
    if (head.empty())
        return "empty (0 bytes)" + not_package;
    if (starts_with(head, "PK\x03\x04", 4)) {
        // OpenDocument stores "mimetype" first and uncompressed.
        const std::uint16_t name_length = le16(head, 26), extra = le16(head, 28);
        if (name_length == 8 && head.size() >= 38 && head.compare(30, 8, "mimetype") == 0) {
            const std::string type = head.substr(std::min<size_t>(head.size(), 38u + extra), 60);
            if (type.rfind("application/vnd.oasis.opendocument.spreadsheet", 0) == 0)
                return "an OpenDocument spreadsheet (.ods)" + not_package + ": " + save_as;
            if (type.rfind("application/vnd.oasis.opendocument.text", 0) == 0)
                return "an OpenDocument text (.odt)" + not_package + ": " + save_as;
            if (type.rfind("application/vnd.oasis.opendocument.", 0) == 0)
                return "an OpenDocument file" + not_package + ": " + save_as;
        }
        return {};
    }
    if (starts_with(head, "PK\x05\x06", 4))
        return "an empty ZIP archive" + not_package;
    if (starts_with(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8)) {
        const std::unordered_set<std::string> names = ole_names(head, file);
        if (names.count("EncryptedPackage") || names.count("EncryptionInfo"))
            return std::string("encrypted with a password: open it in ") + family.app +
                   ", remove the password (File > Info > Protect) and save it again";
        if (names.count("Workbook") || names.count("Book"))
            return std::string("an Excel 97-2003 workbook (.xls)") + not_package + ": " + save_as;
        if (names.count("WordDocument"))
            return std::string("a Word 97-2003 document (.doc)") + not_package + ": " + save_as;
        if (names.count("PowerPoint Document"))
            return "a PowerPoint 97-2003 presentation (.ppt)" + not_package;
        return std::string("an OLE compound file (an Office 97-2003 format, such as ") + family.legacy +
               ")" + not_package + ": " + save_as;
    }
    if (starts_with(head, "%PDF-", 5))
        return std::string("a PDF file") + not_package + ": fill the " + family.noun +
               " it was made from";
    if (starts_with(head, "{\\rtf", 5))
        return "an RTF document" + not_package + ": " + save_as;
    const std::string start = lower_ascii(text_start(head));
    if (start.rfind("<?xml", 0) == 0 || start.rfind("<pkg:", 0) == 0) {
        if (start.find("progid=\"excel.sheet\"") != std::string::npos)
            return "an Excel 2003 XML spreadsheet" + not_package + ": " + save_as;
        if (start.find("progid=\"word.document\"") != std::string::npos || start.rfind("<pkg:", 0) == 0 ||
            start.find("<pkg:package") != std::string::npos)
            return "a Word XML document" + not_package + ": " + save_as;
        return "an XML file" + not_package + ": " + save_as;
    }
    if (start.rfind("<!doctype html", 0) == 0 || start.rfind("<html", 0) == 0 ||
        start.rfind("<table", 0) == 0 || start.rfind("<meta", 0) == 0)
        return "an HTML page" + not_package + ": " + save_as;
    if (looks_like_text(head))
        return "a text file" + not_package + " (a CSV file, perhaps): " + save_as;
    return std::string("not a ") + family.extension + " " + family.noun +
           " (an Office Open XML package is a ZIP archive): " + save_as;
}

}  // namespace

void require_package(nb::handle path, const char *extension) {
    if (!PyUnicode_Check(path.ptr()) && !nb::hasattr(path, "__fspath__"))
        return;
    const Family &family = std::strcmp(extension, ".docx") == 0 ? kDocument : kWorkbook;
    nb::object file;
    try {
        file = nb::module_::import_("io").attr("open")(path, "rb");
    } catch (nb::python_error &e) {
        // The loader names a missing or unreadable file in its usual words.
        if (e.matches(PyExc_OSError))
            return;
        throw;
    }
    std::string kind;
    try {
        Reader reader(file);
        kind = foreign_kind(reader.read_at(0, kHeadSize), reader, family);
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    if (kind.empty())
        return;
    nb::object shown = nb::module_::import_("os").attr("fspath")(path);
    PyErr_Format(PyExc_ValueError, "%S is %s", shown.ptr(), kind.c_str());
    throw nb::python_error();
}

}  // namespace tessel
