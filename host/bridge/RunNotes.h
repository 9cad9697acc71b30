// Names, notes and trigger settings of stored runs, kept by the host beside the work files:
// one small JSON file per run, "<work files>/RunNotes/<acquisition ID>.json". The library
// never looks into that folder, so its listing and reloading of runs are unchanged.
//
// The page asks with the request "korvex_runNotes" (command, acquisition ID, JSON text):
//   0 all notes            -> { success, json: {"runs": {id: notes}, "ignored": [file names]} }
//   1 set one run's notes  -> { success, error }   (notes without content remove the file)
//   2 delete one run's     -> { success, error }
// A run's notes are an object with at most these fields: "name" (text, at most 80
// characters), "note" (text, at most 2000 characters), "triggerTime" (seconds of run time,
// finite) and "preTrigger" (seconds, 0 to 3600).
#pragma once

#include "host/bridge/ListValue.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kRunNotesRequest = "korvex_runNotes";

class RunNotesStore {
public:
    explicit RunNotesStore(std::string folder) : folder(std::move(folder)) {}

    struct Result {
        bool ok = false;
        std::string error; // why not, in words for the log and the page
    };

    // The library's identifiers only: a lowercase UUID text (8-4-4-4-12 hexadecimal digits).
    static bool isAcquisitionId(std::string_view id);
    // Parses and checks one run's notes; on failure `error` says why.
    static bool checkNotes(const std::string& text, nlohmann::json& notes, std::string& error);

    // Every readable notes file; files that cannot be read or do not hold valid notes are
    // named in `ignored` and otherwise skipped.
    nlohmann::json readAll(std::vector<std::string>& ignored) const;
    // Replaces one run's notes atomically (temporary file, fsync, rename, fsync of the folder).
    Result write(const std::string& id, const std::string& text) const;
    Result remove(const std::string& id) const;

    const std::string& directory() const { return folder; }

private:
    std::string folder;
};

// Answers one "korvex_runNotes" request: the reply document's bytes (BSON), or an empty
// string when the arguments are not (int, text, text) and no reply is due.
std::string HandleRunNotesRequest(const RunNotesStore& store, const ListValue& args);
