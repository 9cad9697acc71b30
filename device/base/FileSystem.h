// FileSystem: the library's folder of work files and the file operations used on it.
//
// The root is the user's documents folder + "/Korvex-WorkFiles/", with the sub-folders
// "database/", "rawdata/" (recordings: <id>.raw and <id>.bson), "export/" (CSV files) and
// "calibration/" (calibration records). The documents folder is the one the host uses too,
// chosen by FindDocumentsDirectory (device/common/DocumentsFolder.h). Paths are kept as the bytes
// the system gives (UTF-8 on every desktop we run on); nothing is narrowed or re-encoded.
//
// A BSON file holds exactly one document: its bytes, length prefix included, nothing before
// or after. Every document read from disk is validated before anyone sees it: a truncated
// or corrupt file is a read failure with its error, never a crash.
//
// No lock and no mutable state after construction: calls from several threads touch only
// the file system.
#pragma once

#include <bson/bson.h>

#include <cstddef>
#include <string>

class IKorvexListener;

class FileSystem {
public:
    // Folder kinds for getDirectory.
    enum Kind {
        WorkFiles = 1,
        Database = 2,
        RawData = 3,
        Export = 4,
        Calibration = 5,
    };

    // The largest BSON file readBson accepts. Every document of the system is a few
    // kilobytes; the bound keeps a stray huge file in a listed folder from being loaded
    // whole into memory.
    static constexpr std::size_t maxBsonFileSize = 16 * 1024 * 1024;

    // `dispatch` (not owned; may be null) receives log lines and numbered errors.
    // Determines the root folder and creates it.
    explicit FileSystem(IKorvexListener* dispatch);

    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // The folder of one kind (1 to 5), always ending with "/", after making sure it
    // exists; an empty string for any other kind (nothing logged) or when the folder
    // cannot be created.
    std::string getDirectory(int kind) const;

    // True when a folder exists at `path`, creating it (and its missing parents) first
    // when nothing is there. Something other than a folder at the path is an error.
    bool checkDirectory(const std::string& path) const;

    // Reads the one document of the file at `path` into `document`, which must not be
    // initialised (or must have been destroyed). On success the caller owns the document
    // and destroys it. On failure the document is initialised empty (destroying it is
    // harmless, using it shows no keys), `errorText` says why and the result is false:
    // cannot open -> error 24; cannot read, truncated, trailing bytes or invalid BSON ->
    // error 29.
    bool readBson(bson_t* document, const std::string& path, std::string& errorText) const;

    // Writes the document's bytes to `path`, replacing any file there. The bytes go to a
    // temporary file beside it that is renamed over the path once complete and flushed,
    // so a failed save never leaves a half-written or emptied file behind. Failures:
    // cannot open -> error 24 ("FileSystem::saveBson - Cannot open the file"); cannot
    // write, flush or put in place -> error 25 ("FileSystem::saveBson - Cannot write the
    // file").
    bool saveBson(const bson_t* document, const std::string& path, std::string& errorText) const;

    // Removes the file (or empty folder, or link) at `path`. False with
    // "FileSystem::deleteFile - file doesn't exist" when nothing is there, or with
    // "FileSystem::deleteFile - " followed by the system's description when removal fails.
    bool deleteFile(const std::string& path, std::string& errorText) const;

    // Removes rawdata/<name>.raw, then rawdata/<name>.bson, each only if it exists. A name
    // that is not a plain file name (empty, "." or "..", or holding "/" or a NUL) is
    // refused with a log line: the name comes from the page and must not reach files
    // outside the recordings folder.
    void deleteAcquisitionFiles(const std::string& acquisitionName) const;

    // { "calibrationList": [ every readable *.bson document of the calibration folder ] }.
    // `document` must not be initialised (or must have been destroyed); it is initialised
    // and complete on return.
    void calibrationList(bson_t* document) const;

    // { "acquisitionList": [ ... ] } from the recordings folder: a *.bson file is listed
    // when the .raw file of the same name exists and holds at least 2 bytes, and the
    // document can be read. Same contract on `document` as calibrationList.
    void acquisitionList(bson_t* document) const;

    // True when `name` can be used as one file name inside a work folder.
    static bool isPlainFileName(const std::string& name);

    // The documents folder of FindDocumentsDirectory with the process's environment,
    // without a trailing "/"; empty when no home folder can be found (the work files are
    // then relative to the current folder).
    static std::string documentsFolder();

    const std::string& getWorkFileDir() const { return workFileDir; }

private:
    void listFolder(bson_t* document, const char* key, int kind, bool needsRawFile) const;
    void log(const std::string& line) const;
    bool error(int code) const; // always false

    IKorvexListener* dispatch;
    std::string workFileDir;
};
