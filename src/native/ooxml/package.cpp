#include "ooxml/package.h"

#include "core/placeholder.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace tessel::ooxml {

using namespace nb::literals;

namespace {

std::vector<std::string> split(const std::string &path) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        out.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Entry names that would land outside the folder they are extracted to, or that
// no package writer produces.
bool is_safe_name(const std::string &name) {
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string::npos ||
        name.find('\0') != std::string::npos)
        return false;
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        return false;
    for (const std::string &seg : split(name))
        if (seg == "..")
            return false;
    return true;
}

[[noreturn]] void raise(nb::handle type, const std::string &message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw nb::python_error();
}

void put16(std::string &out, unsigned v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
}

void put32(std::string &out, unsigned long long v) {
    put16(out, static_cast<unsigned>(v & 0xffff));
    put16(out, static_cast<unsigned>((v >> 16) & 0xffff));
}

unsigned get16(const unsigned char *p) { return p[0] | (p[1] << 8); }

std::string key_of(std::string name) { return ascii_lower(std::move(name)); }

// Sizes and offsets at or past this need ZIP64, which is not written.
constexpr unsigned long long kZipLimit = 0xffffffffULL;

// Gathers the pieces a producer emits into chunks of about a mebibyte, so that
// the Python calls made per chunk cost nothing next to the work on it.
class Chunker {
public:
    static constexpr size_t kChunk = size_t(1) << 20;

    explicit Chunker(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {
        pending_.reserve(kChunk);
    }

    void feed(std::string_view piece) {
        if (pending_.size() + piece.size() < kChunk) {
            pending_.append(piece);
            return;
        }
        if (!pending_.empty()) {
            const size_t take = kChunk - pending_.size();
            pending_.append(piece.substr(0, take));
            piece.remove_prefix(take);
            sink_(pending_);
            pending_.clear();
        }
        // Large pieces go out from the producer's memory, uncopied.
        while (piece.size() >= kChunk) {
            sink_(piece.substr(0, kChunk));
            piece.remove_prefix(kChunk);
        }
        pending_.append(piece);
    }

    void finish() {
        if (!pending_.empty())
            sink_(pending_);
        pending_.clear();
    }

private:
    std::function<void(std::string_view)> sink_;
    std::string pending_;
};

// Calls `use` with a read-only memoryview of C++ memory, released afterwards so
// that nothing can reach that memory through it once it is gone.
template <typename Use>
void with_view(std::string_view bytes, Use &&use) {
    PyObject *made = PyMemoryView_FromMemory(const_cast<char *>(bytes.data()),
                                             static_cast<Py_ssize_t>(bytes.size()), PyBUF_READ);
    if (!made)
        throw nb::python_error();
    nb::object view = nb::steal(made);
    try {
        use(view);
    } catch (...) {
        view.attr("release")();
        throw;
    }
    view.attr("release")();
}

[[noreturn]] void refuse_streamed(const std::string &role, const std::string &name) {
    raise(PyExc_ValueError, "the part " + name + " of the " + role +
                                " is streamed and exists only once the package is written");
}

// Runs a producer through one raw deflate stream into `out`, keeping the CRC
// and both sizes.  The stream is made as pigz makes one: each chunk is deflated
// on its own, primed with the 32 KiB before it so that nothing is lost in size,
// and ended on a byte boundary (a sync flush) but the last; the pieces joined
// are one stream.  So the chunks are deflated by worker threads while the
// producer goes on: Python's zlib lets go of the interpreter lock while it
// deflates, and the producer, which needs that lock, only gives it up while it
// waits for a chunk to be done.
class StreamedDeflate {
public:
    unsigned long long crc = 0, usize = 0, csize = 0;

    StreamedDeflate(int level) : level_(level) {}

    ~StreamedDeflate() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        nb::gil_scoped_release released;
        for (std::thread &t : workers_)
            t.join();
    }

    void run(const Producer &producer, nb::handle out, unsigned long long offset, const std::string &role) {
        nb::module_ zlib = nb::module_::import_("zlib");
        crc32_ = zlib.attr("crc32");
        compressobj_ = zlib.attr("compressobj");
        deflated_ = zlib.attr("DEFLATED");
        sync_flush_ = zlib.attr("Z_SYNC_FLUSH");
        write_ = out.attr("write");
        for (int i = 0; i < kWorkers; ++i)
            workers_.emplace_back([this] { work(); });
        std::string previous_tail;
        Chunker chunks([&](std::string_view chunk) {
            with_view(chunk, [&](nb::handle view) { crc = nb::cast<unsigned long long>(crc32_(view, crc)); });
            usize += chunk.size();
            // Stop a part that cannot fit before writing gigabytes more of it.
            if (usize >= kZipLimit || offset + csize >= kZipLimit)
                raise(PyExc_ValueError, "the " + role + " is too large for a plain ZIP archive");
            submit(std::string(chunk), previous_tail, false);
            const size_t keep = std::min<size_t>(chunk.size(), kWindow);
            previous_tail.assign(chunk.substr(chunk.size() - keep));
            check_signals();
        });
        producer([&](std::string_view piece) { chunks.feed(piece); });
        chunks.finish();
        submit(std::string(), previous_tail, true);
        drain(0);
    }

private:
    static constexpr int kWorkers = 2;
    static constexpr size_t kWindow = 32768;
    static constexpr size_t kInFlight = kWorkers + 1;

    struct Job {
        std::string data, dictionary;
        bool last = false;
        bool started = false, done = false;
        std::string packed;
        std::exception_ptr error;
    };

    void submit(std::string data, const std::string &dictionary, bool last) {
        auto job = std::make_shared<Job>();
        job->data = std::move(data);
        job->dictionary = dictionary;
        job->last = last;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            queue_.push_back(job);
            jobs_.push_back(job);
        }
        wake_.notify_one();
        drain(kInFlight);
    }

    // Lets the workers take up what was submitted, writes the chunks done in
    // order, and waits until fewer than `limit` are left in flight.
    void drain(size_t limit) {
        while (true) {
            {
                nb::gil_scoped_release released;
                std::unique_lock<std::mutex> hold(mutex_);
                done_.wait(hold, [&] {
                    const bool all_started = queue_.empty() && std::all_of(jobs_.begin(), jobs_.end(), [](auto &j) {
                                                 return j->started;
                                             });
                    return all_started && (jobs_.size() < std::max<size_t>(limit, 1) || jobs_.front()->done);
                });
            }
            while (!jobs_.empty() && jobs_.front()->done) {
                std::shared_ptr<Job> job = jobs_.front();
                jobs_.pop_front();
                if (job->error)
                    std::rethrow_exception(job->error);
                if (!job->packed.empty()) {
                    with_view(job->packed, [&](nb::handle view) { write_(view); });
                    csize += job->packed.size();
                }
            }
            if (jobs_.size() < std::max<size_t>(limit, 1) || (limit == 0 && jobs_.empty()))
                return;
        }
    }

    void work() {
        while (true) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                wake_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                job = queue_.front();
                queue_.pop_front();
            }
            try {
                nb::gil_scoped_acquire held;
                nb::object packer =
                    job->dictionary.empty()
                        ? compressobj_(level_, deflated_, -15)
                        : compressobj_(level_, deflated_, -15, 8, 0,
                                       nb::bytes(job->dictionary.data(), job->dictionary.size()));
                nb::object out;
                {
                    std::lock_guard<std::mutex> hold(mutex_);
                    job->started = true;
                }
                done_.notify_all();
                with_view(job->data, [&](nb::handle view) { out = packer.attr("compress")(view); });
                nb::object tail = job->last ? packer.attr("flush")() : packer.attr("flush")(sync_flush_);
                job->packed.assign(PyBytes_AS_STRING(out.ptr()), (size_t) PyBytes_GET_SIZE(out.ptr()));
                job->packed.append(PyBytes_AS_STRING(tail.ptr()), (size_t) PyBytes_GET_SIZE(tail.ptr()));
                job->data.clear();
                job->data.shrink_to_fit();
            } catch (...) {
                job->error = std::current_exception();
            }
            {
                std::lock_guard<std::mutex> hold(mutex_);
                job->started = job->done = true;
            }
            done_.notify_all();
        }
    }

    int level_;
    nb::object crc32_, compressobj_, deflated_, sync_flush_, write_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<std::shared_ptr<Job>> queue_;  // submitted, not yet taken up
    std::deque<std::shared_ptr<Job>> jobs_;   // submitted, not yet written, in order
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

}  // namespace

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string part_folder(const std::string &part) {
    size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash);
}

std::string rels_part_of(const std::string &part) {
    if (part.empty())
        return "_rels/.rels";
    std::string folder = part_folder(part);
    std::string file = part.substr(folder.empty() ? 0 : folder.size() + 1);
    return (folder.empty() ? std::string() : folder + "/") + "_rels/" + file + ".rels";
}

std::string extension_of(const std::string &part) {
    size_t dot = part.rfind('.');
    if (dot == std::string::npos || part.find('/', dot) != std::string::npos)
        return std::string();
    return ascii_lower(part.substr(dot + 1));
}

std::optional<std::string> source_of_rels(const std::string &rels) {
    const size_t mark = rels.rfind("_rels/");
    if (mark == std::string::npos || rels.size() < mark + 11 || ascii_lower(rels.substr(rels.size() - 5)) != ".rels" ||
        (mark != 0 && rels[mark - 1] != '/'))
        return std::nullopt;
    return rels.substr(0, mark) + rels.substr(mark + 6, rels.size() - mark - 11);
}

std::string ascii_lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::optional<std::string> resolve_target(const std::string &source, const std::string &target) {
    std::string t = target;
    // Fragments and queries never belong to a part name.
    size_t cut = t.find_first_of("#?");
    if (cut != std::string::npos)
        t = t.substr(0, cut);
    if (t.empty() || t.find('\\') != std::string::npos || t.find(':') != std::string::npos)
        return std::nullopt;
    std::vector<std::string> parts;
    if (t.front() != '/')
        for (const std::string &seg : split(part_folder(source)))
            if (!seg.empty())
                parts.push_back(seg);
    for (const std::string &seg : split(t)) {
        if (seg.empty() || seg == ".")
            continue;
        if (seg == "..") {
            if (parts.empty())
                return std::nullopt;
            parts.pop_back();
        } else {
            parts.push_back(seg);
        }
    }
    if (parts.empty())
        return std::nullopt;
    std::string out;
    for (const std::string &seg : parts)
        out += (out.empty() ? "" : "/") + seg;
    return out;
}

std::string relative_target(const std::string &source, const std::string &part) {
    std::vector<std::string> from = split(part_folder(source)), to = split(part);
    if (from.size() == 1 && from[0].empty())
        from.clear();
    size_t common = 0;
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common])
        ++common;
    std::string out;
    for (size_t i = common; i < from.size(); ++i)
        out += "../";
    for (size_t i = common; i < to.size(); ++i)
        out += to[i] + (i + 1 < to.size() ? "/" : "");
    return out;
}

// An opened archive: the ZipFile for decompressed reads, and the raw file for
// copying compressed data as it stands.
struct Package::Source {
    nb::object path;
    nb::object zip;
    nb::object raw;
    bool owned = true;  // raw was opened here, not given
    ~Source() {
        nb::gil_scoped_acquire gil;
        try {
            if (zip.is_valid())
                zip.attr("close")();
            if (raw.is_valid() && owned)
                raw.attr("close")();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("closing a package");
        }
    }
};

Package::~Package() = default;

bool is_stream(nb::handle target) {
    return !PyUnicode_Check(target.ptr()) && !PyBytes_Check(target.ptr()) &&
           !nb::hasattr(target, "__fspath__") && nb::hasattr(target, "seek");
}

Package Package::from_zip(nb::handle path, const char *role) {
    nb::module_ zipfile = nb::module_::import_("zipfile");
    const bool stream = is_stream(path);
    nb::object fspath = stream ? nb::borrow(path) : nb::module_::import_("os").attr("fspath")(path);
    Package pkg;
    pkg.role_ = role;
    auto source = std::make_shared<Source>();
    source->path = fspath;
    try {
        source->zip = zipfile.attr("ZipFile")(fspath, "r");
    } catch (nb::python_error &e) {
        if (!e.matches(zipfile.attr("BadZipFile")))
            throw;
        nb::raise_from(e, zipfile.attr("BadZipFile"),
                       "the %s %s is not an Office Open XML package (not a ZIP archive)", role,
                       nb::repr(fspath).c_str());
    }
    if (stream) {
        source->raw = fspath;
        source->owned = false;
    } else {
        source->raw = nb::module_::import_("builtins").attr("open")(fspath, "rb");
    }
    for (nb::handle info : source->zip.attr("infolist")()) {
        std::string name = nb::cast<std::string>(info.attr("filename"));
        if (!is_safe_name(name))
            raise(PyExc_ValueError, std::string("the ") + role +
                                        " holds an unsafe entry name: " +
                                        nb::cast<std::string>(nb::repr(nb::str(name.c_str()))));
        if (name.back() == '/')
            continue;
        if (nb::cast<int>(info.attr("flag_bits")) & 1)
            raise(PyExc_ValueError, std::string("the ") + role +
                                        " is encrypted and cannot be read: " + name);
        std::string key = key_of(name);
        if (!pkg.entries_.count(key))
            pkg.order_.push_back(key);
        pkg.entries_[key] = Entry{source, nb::borrow(info), nb::object(), name, nullptr};
    }
    pkg.source_ = source;
    return pkg;
}

Package Package::from_dir(nb::handle dir, const char *role) {
    nb::module_ os = nb::module_::import_("os");
    Package pkg;
    pkg.role_ = role;
    pkg.dir_ = os.attr("fspath")(dir);
    nb::object relpath = os.attr("path").attr("relpath"), join = os.attr("path").attr("join");
    nb::object sep = os.attr("sep");
    for (nb::handle walked : os.attr("walk")(pkg.dir_)) {
        nb::object root = walked[0];
        for (nb::handle file : walked[2]) {
            nb::object rel = relpath(join(root, file), pkg.dir_).attr("replace")(sep, "/");
            std::string name = nb::cast<std::string>(rel);
            pkg.order_.push_back(key_of(name));
            pkg.entries_[key_of(name)] = Entry{nullptr, nb::object(), nb::object(), name, nullptr};
        }
    }
    std::sort(pkg.order_.begin(), pkg.order_.end());
    return pkg;
}

nb::object Package::file_path(const std::string &part) const {
    nb::object join = nb::module_::import_("os").attr("path").attr("join");
    nb::object path = dir_;
    for (const std::string &seg : split(part))
        path = join(path, seg);
    return path;
}

bool Package::has(const std::string &part) const { return entries_.count(key_of(part)) != 0; }

const std::string &Package::actual(const std::string &part) const { return entries_.at(key_of(part)).name; }

std::vector<std::string> Package::names() const {
    std::vector<std::string> out;
    for (const std::string &key : order_)
        out.push_back(entries_.at(key).name);
    return out;
}

unsigned long long Package::size(const std::string &part) const {
    const Entry &e = entries_.at(key_of(part));
    if (e.producer)
        refuse_streamed(role_, e.name);
    if (e.data.is_valid())
        return nb::len(e.data);
    if (e.source)
        return nb::cast<unsigned long long>(e.info.attr("file_size"));
    return nb::cast<unsigned long long>(
        nb::module_::import_("os").attr("path").attr("getsize")(file_path(e.name)));
}

nb::bytes Package::read(const std::string &part) const {
    auto it = entries_.find(key_of(part));
    if (it == entries_.end())
        raise(PyExc_KeyError, "the " + role_ + " has no part " + part);
    const Entry &e = it->second;
    if (e.producer)
        refuse_streamed(role_, e.name);
    if (e.data.is_valid())
        return nb::borrow<nb::bytes>(e.data);
    if (e.source)
        return nb::borrow<nb::bytes>(e.source->zip.attr("read")(e.info));
    return read_file(file_path(e.name));
}

void Package::write(const std::string &given, nb::bytes data) {
    const std::string key = key_of(given);
    if (!has(given))
        order_.push_back(key);
    const std::string part = has(given) ? actual(given) : given;
    if (dir_.is_valid()) {
        nb::module_ os = nb::module_::import_("os");
        nb::object path = file_path(part);
        os.attr("makedirs")(os.attr("path").attr("dirname")(path), "exist_ok"_a = true);
        write_file(path, data);
        entries_[key] = Entry{nullptr, nb::object(), nb::object(), part, nullptr};
    } else {
        entries_[key] = Entry{nullptr, nb::object(), data, part, nullptr};
    }
    changed_.insert(key);
}

void Package::write_streamed(const std::string &given, Producer producer) {
    if (!producer)
        throw std::invalid_argument("a streamed part needs a producer");
    const std::string key = key_of(given);
    const std::string part = has(given) ? actual(given) : given;
    if (dir_.is_valid()) {
        // Written beside the part and renamed over it, so that a failing
        // producer leaves the part as it was.
        nb::module_ os = nb::module_::import_("os");
        nb::object path = file_path(part);
        os.attr("makedirs")(os.attr("path").attr("dirname")(path), "exist_ok"_a = true);
        nb::object temp = nb::str(path) + nb::str(".~tmp");
        nb::object file = nb::module_::import_("builtins").attr("open")(temp, "wb");
        try {
            nb::object write = file.attr("write");
            Chunker chunks([&](std::string_view chunk) {
                with_view(chunk, [&](nb::handle view) { write(view); });
                check_signals();
            });
            producer([&](std::string_view piece) { chunks.feed(piece); });
            chunks.finish();
            file.attr("close")();
            os.attr("replace")(temp, path);
        } catch (...) {
            file.attr("close")();
            os.attr("unlink")(temp);
            throw;
        }
        producer = nullptr;
    }
    if (!has(given))
        order_.push_back(key);
    entries_[key] = Entry{nullptr, nb::object(), nb::object(), part, std::move(producer)};
    changed_.insert(key);
}

bool Package::changed(const std::string &part) const { return changed_.count(key_of(part)) != 0; }

void Package::set_compress_level(int level) {
    if (level < 0 || level > 9)
        throw std::invalid_argument("the compression level must be from 0 to 9, not " +
                                    std::to_string(level));
    level_ = level;
}

void Package::remove(const std::string &part) {
    auto it = entries_.find(key_of(part));
    if (it == entries_.end())
        return;
    std::string name = it->second.name;
    entries_.erase(it);
    order_.erase(std::find(order_.begin(), order_.end(), key_of(part)));
    changed_.insert(key_of(part));
    if (dir_.is_valid())
        nb::module_::import_("os").attr("remove")(file_path(name));
}

void Package::copy_from(const Package &other, const std::string &from, const std::string &to) {
    const Entry &e = other.entries_.at(key_of(from));
    if (dir_.is_valid() || !e.source) {
        write(to, other.read(from));
        return;
    }
    if (!has(to))
        order_.push_back(key_of(to));
    Entry copy = e;
    copy.name = to;
    entries_[key_of(to)] = copy;
    changed_.insert(key_of(to));
}

void Package::write_archive(nb::handle out) const {
    nb::module_ zlib = nb::module_::import_("zlib");
    nb::object localtime = nb::module_::import_("time").attr("localtime")();
    auto now = [&](int i) { return nb::cast<int>(localtime[i]); };
    const unsigned now_date = ((now(0) - 1980) << 9) | (now(1) << 5) | now(2);
    const unsigned now_time = (now(3) << 11) | (now(4) << 5) | (now(5) / 2);

    std::string central;
    unsigned long long offset = 0;
    size_t count = 0;
    nb::object write = out.attr("write");
    // Readers that stream a package want the content types first.
    std::vector<std::string> order = order_;
    std::stable_partition(order.begin(), order.end(),
                          [](const std::string &key) { return key == "[content_types].xml"; });
    for (const std::string &key : order) {
        const Entry &e = entries_.at(key);
        const std::string &name = e.name;
        unsigned method, dos_time, dos_date;
        unsigned long long crc, csize, usize;
        nb::object payload;
        if (e.producer) {
            // Sizes and CRC are known at the end: placeholders now, patched then.
            method = 8;
            crc = csize = usize = 0;
            dos_time = now_time;
            dos_date = now_date;
        } else if (e.data.is_valid() || !e.source) {
            nb::object data = e.data.is_valid() ? e.data : nb::object(read(name));
            nb::object packer = zlib.attr("compressobj")(level_, zlib.attr("DEFLATED"), -15);
            nb::object head = packer.attr("compress")(data);
            payload = head + packer.attr("flush")();
            method = 8;
            crc = nb::cast<unsigned long long>(zlib.attr("crc32")(data));
            csize = nb::len(payload);
            usize = nb::len(data);
            dos_time = now_time;
            dos_date = now_date;
        } else {
            nb::object info = e.info;
            nb::object raw = e.source->raw;
            raw.attr("seek")(info.attr("header_offset"));
            nb::bytes header = nb::borrow<nb::bytes>(raw.attr("read")(30));
            const auto *h = reinterpret_cast<const unsigned char *>(header.c_str());
            if (header.size() != 30 || std::memcmp(h, "PK\3\4", 4) != 0)
                raise(nb::module_::import_("zipfile").attr("BadZipFile"),
                      "broken entry header in the " + role_ + ": " + name);
            raw.attr("seek")(get16(h + 26) + get16(h + 28), 1);
            csize = nb::cast<unsigned long long>(info.attr("compress_size"));
            payload = raw.attr("read")(csize);
            if (static_cast<unsigned long long>(nb::len(payload)) != csize)
                raise(nb::module_::import_("zipfile").attr("BadZipFile"),
                      "truncated entry in the " + role_ + ": " + name);
            method = nb::cast<unsigned>(info.attr("compress_type"));
            crc = nb::cast<unsigned long long>(info.attr("CRC"));
            usize = nb::cast<unsigned long long>(info.attr("file_size"));
            nb::object dt = info.attr("date_time");
            auto at = [&](int i) { return nb::cast<unsigned>(dt[i]); };
            dos_date = ((at(0) - 1980) << 9) | (at(1) << 5) | at(2);
            dos_time = (at(3) << 11) | (at(4) << 5) | (at(5) / 2);
        }
        auto check_limits = [&] {
            if (csize >= kZipLimit || usize >= kZipLimit || offset >= kZipLimit || count >= 0xffff)
                raise(PyExc_ValueError, "the " + role_ + " is too large for a plain ZIP archive");
        };
        check_limits();
        bool utf8 = std::any_of(name.begin(), name.end(),
                                [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
        auto fixed = [&](std::string &h) {
            put16(h, 20);
            put16(h, utf8 ? 0x800 : 0);
            put16(h, method);
            put16(h, dos_time);
            put16(h, dos_date);
            put32(h, crc);
            put32(h, csize);
            put32(h, usize);
            put16(h, static_cast<unsigned>(name.size()));
            put16(h, 0);
        };
        std::string local("PK\3\4", 4);
        fixed(local);
        local += name;
        if (e.producer) {
            // The header is patched once the part is written, rather than
            // followed by a data descriptor, which some readers handle poorly.
            if (!truthy(out.attr("seekable")()))
                raise(PyExc_ValueError, "the " + role_ + " has a streamed part, which needs a "
                                        "file or stream that can seek to be written to");
            const auto at = nb::cast<unsigned long long>(out.attr("tell")());
            write(nb::bytes(local.data(), local.size()));
            StreamedDeflate streamed(level_);
            streamed.run(e.producer, out, offset + local.size(), role_);
            crc = streamed.crc;
            csize = streamed.csize;
            usize = streamed.usize;
            check_limits();
            std::string sizes;
            put32(sizes, crc);
            put32(sizes, csize);
            put32(sizes, usize);
            out.attr("seek")(at + 14);
            write(nb::bytes(sizes.data(), sizes.size()));
            out.attr("seek")(0, 2);
        } else {
            write(nb::bytes(local.data(), local.size()));
            write(payload);
        }
        central.append("PK\1\2", 4);
        put16(central, 20);
        fixed(central);
        put16(central, 0);   // comment
        put16(central, 0);   // disk
        put16(central, 0);   // internal attributes
        put32(central, 0);   // external attributes
        put32(central, offset);
        central += name;
        offset += local.size() + csize;
        ++count;
    }
    std::string end("PK\5\6", 4);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<unsigned>(count));
    put16(end, static_cast<unsigned>(count));
    put32(end, central.size());
    put32(end, offset);
    put16(end, 0);
    write(nb::bytes(central.data(), central.size()));
    write(nb::bytes(end.data(), end.size()));
}

void check_package(nb::handle data, const char *role) {
    nb::object stream = nb::module_::import_("io").attr("BytesIO")(data);
    Package package = Package::from_zip(stream, role);
    if (!package.has("[Content_Types].xml"))
        raise(PyExc_ValueError, std::string("the ") + role + " has no [Content_Types].xml");
}

void Package::commit(nb::handle path) const {
    if (is_stream(path)) {
        // Built apart first: the stream may be this package's own source.
        nb::object built = nb::module_::import_("io").attr("BytesIO")();
        write_archive(built);
        path.attr("seek")(0);
        path.attr("truncate")();
        path.attr("write")(built.attr("getbuffer")());
        return;
    }
    nb::module_ os = nb::module_::import_("os");
    nb::object fspath = os.attr("fspath")(path);
    nb::object target = os.attr("path").attr("abspath")(fspath);
    nb::object folder = os.attr("path").attr("dirname")(target);
    nb::object base = os.attr("path").attr("basename")(target);
    nb::object made = nb::module_::import_("tempfile")
                          .attr("mkstemp")("dir"_a = folder, "prefix"_a = nb::str(".~") + nb::str(base),
                                           "suffix"_a = ".tmp");
    nb::object temp = made[1];
    nb::object out = os.attr("fdopen")(made[0], "wb");
    try {
        write_archive(out);
        out.attr("close")();
        // Keep the permissions the replaced file had; mkstemp makes it private.
        if (nb::cast<bool>(os.attr("path").attr("exists")(target)))
            os.attr("chmod")(temp, nb::module_::import_("stat").attr("S_IMODE")(
                                       os.attr("stat")(target).attr("st_mode")));
        os.attr("replace")(temp, target);
    } catch (...) {
        out.attr("close")();
        os.attr("unlink")(temp);
        throw;
    }
}

}  // namespace tessel::ooxml
