#pragma once
// Internal: the descriptor written and read a record at a time, so that a
// split or a join of any number of files holds none of their records in
// memory.
#include <cstdint>
#include <string>
#include <vector>

#include "durable.h"
#include "partwise/descriptor.h"
#include "posix_file.h"

namespace partwise {

// The records a split adds, built as AddChunkRecord and AddFileRecord build
// them: the chunk file fingerprinted as it now stands; the path cut to 255 bytes.
ChunkRecord MakeChunkRecord(int32_t chunkIndex, const std::string& chunkPath);
ChunkRecord ChunkRecordWith(int32_t chunkIndex, const std::string& fingerprint);
FileRecord MakeFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk, int64_t length,
                          int32_t recordIndex);

// A split's descriptor, written as the split goes to <descriptor>.tmp and
// renamed into place by Commit: chunk records at their places after the
// header, file records after the last chunk record's place. The header is
// the state's, so its chunk count must be set before Open.
class DescriptorStream {
public:
    DescriptorStream() = default;
    // Discards what is not committed.
    ~DescriptorStream();
    DescriptorStream(const DescriptorStream&) = delete;
    DescriptorStream& operator=(const DescriptorStream&) = delete;

    // Creates the temporary file in the chunk folder open as folderFd, which
    // must stay open until Commit or Discard. 0, or -1 with the last error.
    int Open(int folderFd);
    // True once a record could not be written; the last error says why.
    bool failed() const { return failed_; }

    // As the functions of the same names, but to the file.
    void AddChunkRecord(int32_t chunkIndex, const std::string& chunkPath);
    // The same with the chunk's fingerprint already known.
    void AddChunkRecordOf(int32_t chunkIndex, const std::string& fingerprint);
    void AddFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk, int64_t length);
    // Writes what is held back and the header, with the file records
    // counted, flushes it to the disk (Durability::FlushBeforeName) unless
    // durability is off, then renames the file into place. 0, or -1 with the
    // last error.
    int Commit(const Durability& durability = Durability());
    // Removes the temporary file unless committed.
    void Discard();

private:
    void PutChunkRecord(const ChunkRecord& record);
    int FlushChunkRecords();
    int FlushFileRecords();
    void Failed(int err);

    int folderFd_ = -1;
    std::string path_;       // the descriptor's, for messages
    std::string temporary_;  // its name while written, locked through fd_
    UniqueFd fd_;
    int64_t chunkRecordsPut_ = 0;
    int32_t fileRecordsPut_ = 0;
    int64_t fileRecordPosition_ = 0;  // where the held-back file records go
    std::vector<char> held_;          // file records
    std::vector<char> heldChunks_;    // chunk records, written in blocks too
    bool failed_ = false;
};

// A descriptor kept open after its header, and perhaps its chunk records,
// were loaded into the state; the rest stays on disk for the readers below.
struct DescriptorFile {
    std::string path;
    UniqueFd fd;
    int64_t chunkRecordsStart = 0;
    int64_t fileRecordsStart = 0;
};

// Loads chunkFolder's descriptor as ReadDescriptor does, except that the
// state gets no file records; the truncated flag still covers them.
int ReadDescriptorHead(const std::string& chunkFolder, DescriptorFile& file);

// The same, but the state gets the header alone: a set of any number of
// chunks opens in the same memory.
int ReadDescriptorHeaderOnly(const std::string& chunkFolder, DescriptorFile& file);

// Reads only the header of chunkFolder's descriptor into header, leaving the
// state and the last error alone. Returns 0, or -1 when the descriptor is
// missing, unreadable, foreign or shorter than a header.
int ReadDescriptorHeader(const std::string& chunkFolder, DescriptorHeader& header);
// The same for the descriptor in the chunk folder open as chunkDir, never
// through a link.
int ReadDescriptorHeaderAt(int chunkDir, DescriptorHeader& header);

// Records of one size read a block at a time: count of them from position on.
class RecordBlockReader {
public:
    RecordBlockReader(int fd, int64_t position, int64_t count, std::size_t recordSize);
    // Copies the next record into out, zero-filling what the file does not
    // hold. Returns its bytes in the file: the record's size, fewer for the
    // last one when the file ends inside it, 0 after the last record or at
    // the end of the file; -1 with errno.
    int64_t Next(void* out);
    bool done() const { return left_ == 0; }

private:
    int fd_;
    int64_t position_;
    int64_t left_;
    std::size_t recordSize_;
    std::vector<char> block_;
    std::size_t used_ = 0;
};

// The records of one kind of a DescriptorFile in order, as many as the
// header counts. Next gives 1 with the next record, 0 after the last, -1
// (last error set) when the file cannot be read. A file record must be whole:
// one cut short is a failure. Chunk records are taken as ReadDescriptor takes
// them: as far as the file holds them, one cut short zero-filled.
template <typename Record>
class RecordReader {
public:
    explicit RecordReader(const DescriptorFile& file);
    int Next(Record& record);

private:
    const DescriptorFile& file_;
    RecordBlockReader blocks_;
};
extern template class RecordReader<FileRecord>;
extern template class RecordReader<ChunkRecord>;
using FileRecordReader = RecordReader<FileRecord>;
using ChunkRecordReader = RecordReader<ChunkRecord>;

}  // namespace partwise
