#include "host/bridge/RunNotes.h"

#include "host/bridge/DeviceMessageDelegate.h"

#include <bson/bson.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxNameCharacters = 80;
constexpr size_t kMaxNoteCharacters = 2000;
constexpr double kMaxPreTrigger = 3600;
// Well above the longest valid notes (2080 characters of at most 4 bytes, escaped): larger
// input is refused before it is parsed, and larger files are not read.
constexpr size_t kMaxNotesBytes = 64 * 1024;
constexpr const char* kSuffix = ".json";

size_t utf8Characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// write(2) until everything is written or an error other than an interruption.
bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string replyDocument(bool success, const std::string& error, const std::string* json) {
    bson_t doc = BSON_INITIALIZER;
    bson_append_bool(&doc, "success", -1, success);
    if (!error.empty())
        bson_append_utf8(&doc, "error", -1, error.c_str(), int(error.size()));
    if (json)
        bson_append_utf8(&doc, "json", -1, json->c_str(), int(json->size()));
    std::string bytes = DocumentBytes(&doc);
    bson_destroy(&doc);
    return bytes;
}

} // namespace

bool RunNotesStore::isAcquisitionId(std::string_view id) {
    if (id.size() != 36)
        return false;
    for (size_t i = 0; i < id.size(); ++i) {
        char c = id[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool RunNotesStore::checkNotes(const std::string& text, nlohmann::json& notes, std::string& error) {
    if (text.size() > kMaxNotesBytes) {
        error = "notes too long";
        return false;
    }
    notes = nlohmann::json::parse(text, nullptr, false);
    if (notes.is_discarded() || !notes.is_object()) {
        error = "notes are not a JSON object";
        return false;
    }
    for (auto& [key, value] : notes.items()) {
        if (key == "name" || key == "note") {
            size_t limit = key == "name" ? kMaxNameCharacters : kMaxNoteCharacters;
            if (!value.is_string() || utf8Characters(value.get<std::string>()) > limit) {
                error = "\"" + key + "\" must be a text of at most " + std::to_string(limit) +
                        " characters";
                return false;
            }
        } else if (key == "triggerTime" || key == "preTrigger") {
            double v = value.is_number() ? value.get<double>() : NAN;
            bool ok = std::isfinite(v) && (key == "triggerTime" || (v >= 0 && v <= kMaxPreTrigger));
            if (!ok) {
                error = "\"" + key + "\" must be a number of seconds in range";
                return false;
            }
        } else {
            error = "unknown field \"" + key + "\"";
            return false;
        }
    }
    return true;
}

nlohmann::json RunNotesStore::readAll(std::vector<std::string>& ignored) const {
    nlohmann::json runs = nlohmann::json::object();
    std::error_code ec;
    fs::directory_iterator it(fs::u8path(folder), ec), end;
    if (ec)
        return runs; // no folder yet: no notes
    for (; it != end; it.increment(ec)) {
        if (ec)
            break;
        std::string file = it->path().filename().string();
        // Temporary files of an interrupted write are neither notes nor a problem.
        if (file.size() <= std::strlen(kSuffix) || !file.ends_with(kSuffix))
            continue;
        std::string id = file.substr(0, file.size() - std::strlen(kSuffix));
        std::error_code sizeError;
        auto size = fs::file_size(it->path(), sizeError);
        if (!isAcquisitionId(id) || sizeError || size > kMaxNotesBytes) {
            ignored.push_back(file);
            continue;
        }
        std::ifstream in(it->path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        nlohmann::json notes;
        std::string error;
        if (!in || !checkNotes(text.str(), notes, error)) {
            ignored.push_back(file);
            continue;
        }
        runs[id] = std::move(notes);
    }
    return runs;
}

RunNotesStore::Result RunNotesStore::write(const std::string& id, const std::string& text) const {
    if (!isAcquisitionId(id))
        return {false, "not an acquisition ID"};
    nlohmann::json notes;
    std::string error;
    if (!checkNotes(text, notes, error))
        return {false, error};
    // Empty texts carry nothing: notes without content are no notes.
    for (const char* key : {"name", "note"}) {
        if (notes.contains(key) && notes[key].get<std::string>().empty())
            notes.erase(key);
    }
    if (notes.empty())
        return remove(id);

    std::error_code ec;
    fs::create_directories(fs::u8path(folder), ec);
    if (ec)
        return {false, "cannot create " + folder + ": " + ec.message()};
    std::string target = folder + "/" + id + kSuffix;
    std::string temporary = target + ".tmp-XXXXXX";
    int fd = ::mkstemp(temporary.data());
    if (fd < 0)
        return {false, systemError("cannot create a file in " + folder)};
    std::string bytes = notes.dump(2) + "\n";
    bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
        Result failed{false, systemError("cannot write " + target)};
        ::unlink(temporary.c_str());
        return failed;
    }
    if (!syncFolder(folder))
        return {false, systemError("cannot sync " + folder)};
    return {true, {}};
}

RunNotesStore::Result RunNotesStore::remove(const std::string& id) const {
    if (!isAcquisitionId(id))
        return {false, "not an acquisition ID"};
    std::string target = folder + "/" + id + kSuffix;
    if (::unlink(target.c_str()) != 0 && errno != ENOENT)
        return {false, systemError("cannot remove " + target)};
    syncFolder(folder);
    return {true, {}};
}

std::string HandleRunNotesRequest(const RunNotesStore& store, const ListValue& args) {
    using Type = ListValue::Type;
    if (args.size() != 3 || args.typeAt(0) != Type::Int || args.typeAt(1) != Type::String ||
        args.typeAt(2) != Type::String)
        return {};
    switch (args.getInt(0)) {
    case 0: {
        std::vector<std::string> ignored;
        nlohmann::json runs = store.readAll(ignored);
        std::string json = nlohmann::json{{"runs", runs}, {"ignored", ignored}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace);
        return replyDocument(true, {}, &json);
    }
    case 1: {
        auto result = store.write(args.getString(1), args.getString(2));
        return replyDocument(result.ok, result.error, nullptr);
    }
    case 2: {
        auto result = store.remove(args.getString(1));
        return replyDocument(result.ok, result.error, nullptr);
    }
    default: return replyDocument(false, "unknown command", nullptr);
    }
}
