// The Python module `vesk`: the records of event logs and loose .evt files as
// dicts, through the same walk as the command-line tool (walk/walk.h), so
// that the keys and values are the tool's JSON Lines columns.
//
//   vesk.read(log, *, image=None, remotes=None, machine=None, as_log=None,
//             since=None, until=None, events=None, sources=None, types=None)
//   vesk.logs(*, image=None, remotes=None, machine=None)
//   vesk.Error
//
// The GIL is released while records are read and converted by the library;
// each reader walks its own handle, so several threads can read several logs
// at once.  The computers served (image, remotes) are process-wide: a call
// that names others switches to them while no reader is open.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/emulated/seam.h"
#include "walk/walk.h"

namespace py = pybind11;
namespace walk = vesk::walk;
namespace emu = vesk::emu;

namespace {

// What the library or the walk reported; raised as vesk.Error.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- computers

// The images the platform serves now, and how many readers are open on them.
struct Served {
  std::mutex mutex;
  bool configured = false;
  walk::Images images;
  int readers = 0;
};

Served &served() {
  static Served s;
  return s;
}

bool same(const walk::Images &a, const walk::Images &b) {
  return a.local == b.local && a.remotes == b.remotes;
}

// Makes `want` the served images.  No image and no remote: whatever is served
// (at first, what VESK_LOCAL_IMAGE and VESK_REMOTE_IMAGES say).  Called with
// the GIL released; takes one reader slot when `reader`.
void serve(const walk::Images &want, bool reader) {
  Served &s = served();
  std::lock_guard<std::mutex> lock(s.mutex);
  const bool given = !want.local.empty() || !want.remotes.empty();
  if (!s.configured) {
    std::string error;
    if (!walk::configure(want, &error)) throw Error(error);
    s.configured = true;
    s.images = want;
  } else if (given && !same(want, s.images)) {
    if (s.readers > 0)
      throw Error(
          "other images are being read: finish (or delete) the open readers before "
          "reading "
          "another image");
    // The platform read the environment at its first use; from now on the
    // computers are set here.  Until this succeeds no images count as served.
    s.images = walk::Images{};
    emu::reset();
    std::string error;
    if (!want.local.empty()) {
      auto local = emu::load_image(want.local, {}, &error);
      if (!local) throw Error("image " + want.local + ": " + error);
      emu::set_local(local);
    }
    for (const std::string &r : want.remotes) {
      const size_t eq = r.find('=');
      const std::string dir = eq == std::string::npos ? r : r.substr(eq + 1);
      const std::string name = eq == std::string::npos ? std::string() : r.substr(0, eq);
      auto remote = emu::load_image(dir, emu::from_utf8(name), &error);
      if (!remote) throw Error("remote " + r + ": " + error);
      emu::add_remote(remote);
    }
    // The walk's own view of the images: whether a local computer is served
    // (it reads the environment), and no remote named as the local one.
    if (want.local.empty()) unsetenv("VESK_LOCAL_IMAGE");
    if (want.remotes.empty()) unsetenv("VESK_REMOTE_IMAGES");
    if (!walk::configure(want, &error)) throw Error(error);
    s.images = want;
  }
  if (reader) ++s.readers;
}

void release_reader() {
  Served &s = served();
  std::lock_guard<std::mutex> lock(s.mutex);
  --s.readers;
}

std::string path_text(const py::handle &h, const char *what) {
  if (py::isinstance<py::str>(h)) return h.cast<std::string>();
  py::object fspath = py::module_::import("os").attr("fspath");
  try {
    py::object p = fspath(h);
    if (py::isinstance<py::str>(p)) return p.cast<std::string>();
  } catch (py::error_already_set &) {
  }
  throw py::type_error(std::string(what) + ": a path (str or os.PathLike) is needed");
}

// image: a path; remotes: a mapping NAME -> path, or paths and "NAME=path"
// texts.
walk::Images images_from(const py::object &image, const py::object &remotes) {
  walk::Images out;
  if (!image.is_none()) out.local = path_text(image, "image");
  if (remotes.is_none()) return out;
  if (py::isinstance<py::dict>(remotes)) {
    for (auto item : remotes.cast<py::dict>())
      out.remotes.push_back(item.first.cast<std::string>() + "=" +
                            path_text(item.second, "remotes"));
  } else if (py::isinstance<py::str>(remotes)) {
    out.remotes.push_back(remotes.cast<std::string>());
  } else {
    for (auto item : remotes) out.remotes.push_back(path_text(item, "remotes"));
  }
  return out;
}

// ---------------------------------------------------------------- filters

// A single value or an iterable of them.
std::vector<py::object> many(const py::object &value) {
  std::vector<py::object> out;
  if (py::isinstance<py::str>(value) || py::isinstance<py::int_>(value) ||
      !py::hasattr(value, "__iter__")) {
    out.push_back(value);
    return out;
  }
  for (auto item : value) out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

// A timezone-aware datetime, or ISO 8601 text with a zone, as seconds since
// 1970 UTC.  A naive datetime is refused: its zone would be a guess.
int64_t seconds_from(const py::object &value, const char *what) {
  py::object datetime = py::module_::import("datetime").attr("datetime");
  if (py::isinstance(value, datetime)) {
    if (value.attr("utcoffset")().is_none())
      throw py::value_error(
          std::string(what) +
          ": a timezone-aware datetime is needed (tzinfo=timezone.utc, say)");
    return py::cast<int64_t>(
        py::module_::import("math").attr("floor")(value.attr("timestamp")()));
  }
  if (py::isinstance<py::str>(value)) {
    auto t = walk::parse_time(value.cast<std::string>());
    if (!t)
      throw py::value_error(std::string(what) + ": '" + value.cast<std::string>() +
                            "' is not an ISO 8601 time with a zone");
    return *t;
  }
  throw py::type_error(std::string(what) + ": a datetime or an ISO 8601 text is needed");
}

walk::Filter filter_from(const py::object &since, const py::object &until,
                         const py::object &events, const py::object &sources,
                         const py::object &types) {
  walk::Filter f;
  if (!since.is_none()) f.since = seconds_from(since, "since");
  if (!until.is_none()) f.until = seconds_from(until, "until");
  if (!events.is_none())
    for (const py::object &e : many(events)) {
      const auto id = py::cast<int64_t>(e);
      if (id < 0 || id > 0xFFFFFFFFll)
        throw py::value_error("events: " + std::to_string(id) +
                              " is not an event number");
      f.events.push_back(static_cast<uint32_t>(id));
    }
  if (!sources.is_none())
    for (const py::object &s : many(sources))
      f.sources.push_back(py::cast<std::string>(s));
  if (!types.is_none())
    for (const py::object &t : many(types)) {
      std::optional<uint16_t> type;
      if (py::isinstance<py::int_>(t)) {
        const auto n = py::cast<int64_t>(t);
        if (n >= 0 && n <= 0xFFFF) type = static_cast<uint16_t>(n);
      } else {
        type = walk::parse_type(py::cast<std::string>(t));
      }
      if (!type)
        throw py::value_error("types: " + py::str(t).cast<std::string>() +
                              " is not an event type");
      f.types.push_back(*type);
    }
  return f;
}

// ---------------------------------------------------------------- records

// Text from the walk (UTF-8, with U+FFFD where the record had none).
py::str text(const std::string &s) {
  PyObject *o =
      PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

py::object utc_datetime(uint32_t seconds) {
  // Kept for the life of the process: never destroyed after the interpreter.
  static const py::object *from_timestamp = new py::object(
      py::module_::import("datetime").attr("datetime").attr("fromtimestamp"));
  static const py::object *utc =
      new py::object(py::module_::import("datetime").attr("timezone").attr("utc"));
  return (*from_timestamp)(seconds, *utc);
}

// One record as the tool's JSON Lines has it: the same keys, times as aware
// datetimes in UTC, strings a list, data bytes, numbers int, None where the
// tool writes null.
py::dict record_dict(const walk::Record &r) {
  py::dict d;
  for (walk::Column c : walk::kAllColumns) {
    const char *key = walk::column_name(c);
    if (!r.has_raw && (c == walk::Column::kTime || c == walk::Column::kGenerated ||
                       c == walk::Column::kStrings || c == walk::Column::kData)) {
      d[key] = py::none();
      continue;
    }
    switch (c) {
      case walk::Column::kTime:
        d[key] = utc_datetime(r.raw.time_written);
        continue;
      case walk::Column::kGenerated:
        d[key] = utc_datetime(r.raw.time_generated);
        continue;
      case walk::Column::kStrings: {
        py::list strings;
        for (const std::string &s : r.raw.strings) strings.append(text(s));
        d[key] = strings;
        continue;
      }
      case walk::Column::kData:
        d[key] = py::bytes(reinterpret_cast<const char *>(r.raw.data.data()),
                           r.raw.data.size());
        continue;
      default:
        break;
    }
    const walk::Cell cell = walk::column_value(r, c, walk::TimeZone::kUtc);
    switch (cell.kind) {
      case walk::Cell::Kind::Empty:
        d[key] = py::none();
        break;
      case walk::Cell::Kind::Number:
        d[key] = py::int_(py::str(cell.text));
        break;
      case walk::Cell::Kind::Text:
        d[key] = text(cell.text);
        break;
    }
  }
  return d;
}

// The iterator that vesk.read returns: one open log, walked record by record.
class Reader {
 public:
  Reader(std::unique_ptr<walk::Log> log) : log_(std::move(log)) {}
  ~Reader() { close(); }
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  py::dict next() {
    bool got = false;
    bool complete = true;
    std::string reason;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (log_) {
        got = log_->next(record_);
        if (!got) {
          complete = log_->complete();
          reason = log_->stop_reason();
          close_locked();
        }
      }
    }
    if (got) return record_dict(record_);
    if (!complete) throw Error(reason);
    throw py::stop_iteration();
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_locked();
  }

 private:
  void close_locked() {
    if (!log_) return;
    log_.reset();
    release_reader();
  }

  std::mutex mutex_;  // one next() at a time on this log
  std::unique_ptr<walk::Log> log_;
  walk::Record record_;
};

std::unique_ptr<Reader> read_log(const py::object &log, const py::object &image,
                                 const py::object &remotes, const py::object &machine,
                                 const py::object &as_log, const py::object &since,
                                 const py::object &until, const py::object &events,
                                 const py::object &sources, const py::object &types) {
  const std::string name = path_text(log, "log");
  walk::Options o;
  if (!machine.is_none()) o.machine = machine.cast<std::string>();
  if (!as_log.is_none()) o.as_log = as_log.cast<std::string>();
  o.filter = filter_from(since, until, events, sources, types);
  const walk::Images images = images_from(image, remotes);
  std::unique_ptr<walk::Log> opened;
  std::string error;
  {
    py::gil_scoped_release unlocked;
    serve(images, true);
    opened = walk::Log::open(name, o, &error);
    if (!opened) release_reader();
  }
  if (!opened) throw Error(error);
  return std::make_unique<Reader>(std::move(opened));
}

py::list registered_logs(const py::object &image, const py::object &remotes,
                         const py::object &machine) {
  const walk::Images images = images_from(image, remotes);
  const std::string computer =
      machine.is_none() ? std::string() : machine.cast<std::string>();
  std::vector<walk::LogInfo> found;
  bool has_registry = false;
  std::string error;
  bool ok = false;
  {
    py::gil_scoped_release unlocked;
    serve(images, true);  // no switch of images while the registry is read
    struct Release {
      ~Release() { release_reader(); }
    } release;
    ok = walk::list_logs(computer, &found, &has_registry, &error);
  }
  if (!ok) throw Error(error);
  py::list out;
  for (const walk::LogInfo &info : found) {
    py::dict d;
    d["name"] = info.name;
    d["file"] =
        info.file.empty() ? py::object(py::none()) : py::object(py::str(info.file));
    d["oldest"] =
        info.opened ? py::object(py::int_(info.oldest)) : py::object(py::none());
    d["count"] = info.opened ? py::object(py::int_(info.count)) : py::object(py::none());
    d["error"] = info.opened ? py::object(py::none()) : py::object(py::str(info.error));
    out.append(d);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(vesk, m) {
  m.doc() =
      "Windows NT event logs (.evt) as dicts: the records of a computer's logs (a "
      "Windows "
      "system drive image) or of loose .evt files, with their messages formatted from "
      "the "
      "source's message files.";
  static py::exception<Error> error(m, "Error");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error &e) {
      error(e.what());
    }
  });

  py::class_<Reader>(m, "Reader",
                     "The records of one log, as vesk.read returns them: an iterator of "
                     "dicts.")
      .def("__iter__", [](Reader &r) -> Reader & { return r; })
      .def("__next__", &Reader::next)
      .def("close", &Reader::close, "Closes the log; the iterator then ends.")
      .def("__enter__", [](Reader &r) -> Reader & { return r; })
      .def("__exit__", [](Reader &r, py::args) { r.close(); });

  m.def("read", &read_log, py::arg("log"), py::kw_only(), py::arg("image") = py::none(),
        py::arg("remotes") = py::none(), py::arg("machine") = py::none(),
        py::arg("as_log") = py::none(), py::arg("since") = py::none(),
        py::arg("until") = py::none(), py::arg("events") = py::none(),
        py::arg("sources") = py::none(), py::arg("types") = py::none(),
        "Yields one dict per record of `log` (a log name, or the path of a loose .evt "
        "file) with the keys of the tool's JSON Lines: times as timezone-aware datetimes "
        "in UTC, strings a list, data bytes.  image: the local computer's system drive; "
        "remotes: {NAME: dir} or a list of dirs and 'NAME=dir'; machine: the computer "
        "whose log is read; as_log: the log whose sources a loose file's records take; "
        "since, until: aware datetimes or ISO 8601 texts (time written, until excluded); "
        "events, sources, types: one or several event numbers, source names, types.  "
        "Raises vesk.Error with the library's text when the log cannot be read.");
  m.def("logs", &registered_logs, py::kw_only(), py::arg("image") = py::none(),
        py::arg("remotes") = py::none(), py::arg("machine") = py::none(),
        "Lists the logs a computer registers: dicts with name, file, oldest, count and "
        "error (None when the log opened).");
}
