#pragma once
// The chunk set's descriptor, spt_config.brixspt: a 352-byte header, then one
// 37-byte ChunkRecord per chunk, then one 280-byte FileRecord per piece of a
// file of a folder split. Little-endian, no padding, no checksum.
//
// The engine keeps one process-wide DescriptorState: a split fills its header
// and writes it; a join or an inspection reads a chunk set into it. Only one
// of the three may use it at a time. The record functions below keep records
// in memory; the engine's own split and join write and read theirs through
// the file instead, so that the number of files costs no memory.
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace partwise {

static_assert(std::endian::native == std::endian::little,
              "records are written as they lie in memory: little-endian only");

inline constexpr int32_t kDescriptorMagic1 = 2014;
inline constexpr int32_t kDescriptorMagic2 = 101;
inline constexpr const char* kDescriptorFileName = "spt_config.brixspt";

#pragma pack(push, 1)
struct DescriptorHeader {
    char reserved[32];
    int32_t magic1;
    int32_t magic2;
    int32_t chunkCount;
    int32_t fileRecordCount;
    int64_t totalSize;
    char passwordDigest[40];
    char sourceName[256];
};

struct ChunkRecord {
    int32_t chunkIndex;
    char fingerprint[33];
};

struct FileRecord {
    char relativePath[256];
    int32_t recordIndex;
    int32_t chunkIndex;
    int64_t offsetInChunk;
    int64_t length;
};
#pragma pack(pop)

static_assert(sizeof(DescriptorHeader) == 352);
static_assert(sizeof(ChunkRecord) == 37);
static_assert(sizeof(FileRecord) == 280);

struct DescriptorState {
    DescriptorHeader header{};
    std::string descriptorPath;
    std::vector<std::unique_ptr<FileRecord>> fileRecords;
    std::vector<std::unique_ptr<ChunkRecord>> chunkRecords;
    // The file held fewer record bytes than its header's counts promise.
    bool truncated = false;
};

// The process-wide state. Tests call ResetDescriptorState between cases.
DescriptorState& Descriptor();
void ResetDescriptorState();

// folder + "/spt_config.brixspt".
std::string BuildDescriptorPath(const std::string& folder);

// Empties the state and points it at chunkFolder's descriptor; sets the magic words.
void ResetDescriptor(const std::string& chunkFolder);

void SetSourceName(const std::string& name);  // at most 255 bytes are kept
std::string GetSourceName();
void SetChunkCount(int32_t count);
int32_t GetChunkCount();
int32_t GetFileRecordCount();
void SetTotalSize(int64_t size);
int64_t GetTotalSize();
// Stores the MD5 hex text of password (its bytes up to the NUL).
void SetPasswordDigest(const std::string& password);
// The stored digest text, or "" when the set has no password.
std::string GetPasswordDigest();

// Fingerprints the chunk file as it now stands and appends a ChunkRecord.
// Calls from several threads run one after the other; safe to call for a
// missing file (empty fingerprint).
void AddChunkRecord(int32_t chunkIndex, const std::string& chunkPath);
// Appends a FileRecord and counts it (relativePath must fit 255 bytes).
void AddFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk, int64_t length);

// Writes header and records to the descriptor path, through a temporary file
// in the same folder that is renamed into place once complete. Returns 0, or
// -1 with the last error set.
int WriteDescriptor();

// Loads chunkFolder's descriptor. Returns 0, or -1 (last error set) when it is
// missing, unreadable or its magic words are wrong. Records are taken only as
// far as the file holds them (a record cut short is zero-filled); a file that
// held fewer than its counts promise is marked truncated.
int ReadDescriptor(const std::string& chunkFolder);

// True when the last ReadDescriptor found fewer record bytes than the counts promise.
bool DescriptorIsTruncated();

void ClearDescriptorRecords();
// Borrowed pointers, valid until the next ResetDescriptor or ReadDescriptor.
void CopyChunkRecords(std::vector<const ChunkRecord*>& out);
void CopyFileRecords(std::vector<const FileRecord*>& out);

// A fixed-width text field as a string: the bytes up to the first NUL, or the
// whole width when the field holds none (check with FieldIsTerminated).
std::string FieldText(const char* field, std::size_t width);
bool FieldIsTerminated(const char* field, std::size_t width);

}  // namespace partwise
