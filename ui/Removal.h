#pragma once
// Deleting what a finished join made unnecessary: its chunk files. Only ever
// called after the join succeeded.
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

// Removes the file at path. True when it is gone (also when it was gone
// before).
bool RemoveFile(const QString& path);

// The files of a joined set, in the file system's encoding.
struct JoinedSet {
    std::string chunkFolder;
    std::string stem;
    std::vector<int32_t> chunkIndexes;
    std::string checksumFile;             // "" for none
    std::vector<std::string> otherFiles;  // written beside the chunks: metadata, join script
};

// Removes the set's chunk files, then its checksum file, its recovery files
// and the others, by name in the chunk folder; kept counts those still there (all of them when
// the folder cannot be opened). Runs off the window's thread: a set of
// 200,000 chunks takes a while. Returns 0.
int removeJoinedSet(const JoinedSet& set, int64_t& kept);
