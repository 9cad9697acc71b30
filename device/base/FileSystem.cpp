#include "device/base/FileSystem.h"

#include "device/base/IKorvexListener.h"
#include "device/common/DocumentsFolder.h"

#include <boost/format.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const workFolderName = "Korvex-WorkFiles/";

// Sub-folder of each kind, relative to the root; kind 1 is the root itself.
const char* const kindFolders[] = {"", "database/", "rawdata/", "export/", "calibration/"};

} // namespace

FileSystem::FileSystem(IKorvexListener* dispatch) : dispatch(dispatch) {
    std::string documents = documentsFolder();
    workFileDir = documents.empty()
                      ? std::string(workFolderName)
                      : (documents == "/" ? documents : documents + "/") + workFolderName;
    std::cout << "FileSystem::FileSystem - WorkFileDir " << workFileDir << std::endl;
    getDirectory(WorkFiles);
}

std::string FileSystem::documentsFolder() { return FindDocumentsDirectory(); }

std::string FileSystem::getDirectory(int kind) const {
    if (kind < WorkFiles || kind > Calibration)
        return {};
    std::string path = workFileDir + kindFolders[kind - 1];
    log(boost::str(boost::format("FileSystem::getDirectory - %1%") % path));
    if (!checkDirectory(path))
        return {};
    return path;
}

bool FileSystem::checkDirectory(const std::string& path) const {
    try {
        std::error_code ec;
        fs::path folder(path);
        fs::file_status status = fs::status(folder, ec);
        if (status.type() == fs::file_type::not_found || status.type() == fs::file_type::none) {
            log(boost::str(boost::format("FileSystem::checkDirectory - Create directory %1%") %
                           path));
            fs::create_directories(folder, ec);
            if (ec) {
                log(boost::str(boost::format("FileSystem::checkDirectory - ERROR %1%") %
                               ec.message()));
                return false;
            }
            return fs::is_directory(folder, ec);
        }
        if (status.type() != fs::file_type::directory) {
            // Something else holds the folder's name: files cannot go there.
            log(boost::str(boost::format("FileSystem::checkDirectory - ERROR %1%") %
                           std::make_error_code(std::errc::not_a_directory).message()));
            return false;
        }
        return true;
    } catch (const fs::filesystem_error& e) {
        log(boost::str(boost::format("FileSystem::checkDirectory - ERROR %1%") % e.what()));
        return false;
    } catch (...) {
        log("FileSystem::checkDirectory - ERROR");
        return false;
    }
}

bool FileSystem::readBson(bson_t* document, const std::string& path, std::string& errorText) const {
    auto fail = [&](int code, const char* text) {
        bson_init(document);
        errorText = text;
        error(code);
        return false;
    };
    const char* cannotRead = "FileSystem::readBson - Cannot read the file";

    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(24, "FileSystem::readBson - Cannot open the file");

    // Read at most one byte beyond the bound, so an oversized file is known as such
    // without loading it.
    std::vector<uint8_t> bytes;
    bool readFailed = false;
    uint8_t chunk[8192];
    while (bytes.size() <= maxBsonFileSize) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            readFailed = true;
            break;
        }
        if (got == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(fd);
    if (readFailed)
        return fail(29, cannotRead);
    if (bytes.size() > maxBsonFileSize) {
        log(boost::str(boost::format("FileSystem::readBson - File too large %1%") % path));
        return fail(29, cannotRead);
    }

    // Exactly one document: the length prefix must account for every byte of the file.
    bson_t view;
    if (bytes.size() < 5 || !bson_init_static(&view, bytes.data(), bytes.size())) {
        log(boost::str(boost::format("FileSystem::readBson - Not a BSON document %1%") % path));
        return fail(29, cannotRead);
    }
    size_t offset = 0;
    if (!bson_validate(&view, BSON_VALIDATE_UTF8, &offset)) {
        log(boost::str(
            boost::format("FileSystem::readBson - Invalid BSON document %1% at byte %2%") % path %
            offset));
        return fail(29, cannotRead);
    }
    bson_copy_to(&view, document);
    return true;
}

bool FileSystem::saveBson(const bson_t* document, const std::string& path,
                          std::string& errorText) const {
    const char* cannotWrite = "FileSystem::saveBson - Cannot write the file";
    if (!document) {
        errorText = cannotWrite;
        return error(25);
    }

    static std::atomic<unsigned> counter{0};
    std::string temporary =
        boost::str(boost::format("%1%.tmp-%2%-%3%") % path % getpid() % counter.fetch_add(1));
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        errorText = "FileSystem::saveBson - Cannot open the file";
        return error(24);
    }

    const uint8_t* data = bson_get_data(document);
    std::size_t remaining = document->len;
    bool ok = true;
    while (remaining > 0) {
        ssize_t put = ::write(fd, data, remaining);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            ok = false;
            break;
        }
        data += put;
        remaining -= static_cast<std::size_t>(put);
    }
    if (ok && ::fdatasync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temporary.c_str());
        errorText = cannotWrite;
        return error(25);
    }
    log(boost::str(boost::format("FileSystem::saveBson: Write file %1%") % path));
    return true;
}

bool FileSystem::deleteFile(const std::string& path, std::string& errorText) const {
    std::error_code ec;
    // The link itself counts: a dangling link is still something to delete.
    fs::file_status status = fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::not_found || (ec && status.type() == fs::file_type::none)) {
        if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
            errorText = "FileSystem::deleteFile - " + ec.message();
            return false;
        }
        errorText = "FileSystem::deleteFile - file doesn't exist";
        return false;
    }
    if (!fs::remove(path, ec) || ec) {
        errorText = "FileSystem::deleteFile - " +
                    (ec ? ec.message()
                        : std::make_error_code(std::errc::no_such_file_or_directory).message());
        return false;
    }
    return true;
}

bool FileSystem::isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void FileSystem::deleteAcquisitionFiles(const std::string& acquisitionName) const {
    if (!isPlainFileName(acquisitionName)) {
        log(boost::str(
            boost::format("FileSystem::deleteAcquisitionFiles - Invalid acquisition name %1%") %
            acquisitionName));
        return;
    }
    std::string folder = getDirectory(RawData);
    if (folder.empty())
        return;
    for (const char* extension : {".raw", ".bson"}) {
        std::string path = folder + acquisitionName + extension;
        std::error_code ec;
        if (fs::symlink_status(path, ec).type() == fs::file_type::not_found)
            continue;
        std::string errorText;
        if (!deleteFile(path, errorText))
            log(boost::str(boost::format("FileSystem::deleteAcquisitionFiles - %1% (%2%)") %
                           errorText % path));
    }
}

void FileSystem::calibrationList(bson_t* document) const {
    listFolder(document, "calibrationList", Calibration, false);
}

void FileSystem::acquisitionList(bson_t* document) const {
    listFolder(document, "acquisitionList", RawData, true);
}

void FileSystem::listFolder(bson_t* document, const char* key, int kind, bool needsRawFile) const {
    bson_init(document);
    bson_t array;
    bson_append_array_begin(document, key, -1, &array);

    std::string folder = getDirectory(kind);
    std::vector<fs::path> files;
    if (!folder.empty()) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (!it->is_regular_file(typeError) || typeError)
                continue;
            if (it->path().extension() != ".bson")
                continue;
            files.push_back(it->path());
        }
        if (ec)
            log(boost::str(boost::format("FileSystem::listFolder - ERROR %1%") % ec.message()));
    }
    // Listed by name, so the page shows the same order on every file system.
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });

    uint32_t index = 0;
    for (const fs::path& file : files) {
        if (needsRawFile) {
            // A recording is listed only with its raw data, and a raw file under 2 bytes
            // holds no frame at all.
            fs::path raw = file;
            raw.replace_extension(".raw");
            std::error_code ec;
            if (!fs::is_regular_file(raw, ec))
                continue;
            std::uintmax_t size = fs::file_size(raw, ec);
            if (ec || size < 2)
                continue;
        }
        bson_t entry;
        std::string errorText;
        if (!readBson(&entry, file.native(), errorText)) {
            bson_destroy(&entry);
            continue;
        }
        char keyText[16];
        const char* elementKey = nullptr;
        std::size_t keyLength = bson_uint32_to_string(index, &elementKey, keyText, sizeof keyText);
        bson_append_document(&array, elementKey, static_cast<int>(keyLength), &entry);
        bson_destroy(&entry);
        ++index;
    }
    bson_append_array_end(document, &array);
}

void FileSystem::log(const std::string& line) const {
    if (dispatch)
        dispatch->log(line);
}

bool FileSystem::error(int code) const {
    if (dispatch)
        dispatch->error(code, "");
    return false;
}
