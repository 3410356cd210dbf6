#include "partwise/descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "descriptor_stream.h"
#include "fail.h"
#include "folder_ops.h"
#include "partwise/errors.h"
#include "partwise/md5.h"
#include "posix_file.h"
#include "staged_file.h"

namespace partwise {

DescriptorState& Descriptor() {
    static DescriptorState state;
    return state;
}

void ResetDescriptorState() {
    DescriptorState& state = Descriptor();
    state.header = DescriptorHeader{};
    state.descriptorPath.clear();
    state.truncated = false;
    ClearDescriptorRecords();
}

std::string BuildDescriptorPath(const std::string& folder) { return folder + "/" + kDescriptorFileName; }

void ResetDescriptor(const std::string& chunkFolder) {
    DescriptorState& state = Descriptor();
    state.header = DescriptorHeader{};
    state.header.magic1 = kDescriptorMagic1;
    state.header.magic2 = kDescriptorMagic2;
    state.descriptorPath = BuildDescriptorPath(chunkFolder);
    state.truncated = false;
    ClearDescriptorRecords();
}

std::string FieldText(const char* field, std::size_t width) {
    const void* nul = std::memchr(field, 0, width);
    return std::string(field, nul ? static_cast<const char*>(nul) - field : width);
}

bool FieldIsTerminated(const char* field, std::size_t width) { return std::memchr(field, 0, width) != nullptr; }

namespace {
template <std::size_t N>
void StoreField(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}
}  // namespace

void SetSourceName(const std::string& name) { StoreField(Descriptor().header.sourceName, name); }

std::string GetSourceName() {
    const DescriptorHeader& header = Descriptor().header;
    return FieldText(header.sourceName, sizeof header.sourceName);
}

void SetChunkCount(int32_t count) { Descriptor().header.chunkCount = count; }
int32_t GetChunkCount() { return Descriptor().header.chunkCount; }
int32_t GetFileRecordCount() { return Descriptor().header.fileRecordCount; }
void SetTotalSize(int64_t size) { Descriptor().header.totalSize = size; }
int64_t GetTotalSize() { return Descriptor().header.totalSize; }

void SetPasswordDigest(const std::string& password) {
    const std::string text = password.substr(0, password.find('\0'));
    StoreField(Descriptor().header.passwordDigest, Md5HexText(text.data(), text.size()));
}

std::string GetPasswordDigest() {
    // A digest is at most 32 digits; the field's tail is padding.
    return FieldText(Descriptor().header.passwordDigest, 32);
}

ChunkRecord MakeChunkRecord(int32_t chunkIndex, const std::string& chunkPath) {
    return ChunkRecordWith(chunkIndex, ChunkFingerprint(chunkPath));
}

ChunkRecord ChunkRecordWith(int32_t chunkIndex, const std::string& fingerprint) {
    ChunkRecord record;
    std::memset(&record, 0, sizeof record);
    record.chunkIndex = chunkIndex;
    std::memcpy(record.fingerprint, fingerprint.data(), std::min<std::size_t>(fingerprint.size(), 32));
    return record;
}

FileRecord MakeFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk, int64_t length,
                          int32_t recordIndex) {
    FileRecord record;
    std::memset(&record, 0, sizeof record);
    StoreField(record.relativePath, relativePath);
    record.recordIndex = recordIndex;
    record.chunkIndex = chunkIndex;
    record.offsetInChunk = offsetInChunk;
    record.length = length;
    return record;
}

namespace {
// Keeps concurrent AddChunkRecord calls from appending at once.
std::mutex g_chunkRecordMutex;
}  // namespace

void AddChunkRecord(int32_t chunkIndex, const std::string& chunkPath) {
    const ChunkRecord record = MakeChunkRecord(chunkIndex, chunkPath);
    std::lock_guard lock(g_chunkRecordMutex);
    Descriptor().chunkRecords.push_back(std::make_unique<ChunkRecord>(record));
}

void AddFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk, int64_t length) {
    DescriptorState& state = Descriptor();
    const FileRecord record =
        MakeFileRecord(relativePath, chunkIndex, offsetInChunk, length, state.header.fileRecordCount++);
    state.fileRecords.push_back(std::make_unique<FileRecord>(record));
}

namespace {
int PutBytes(StagedFile& file, const void* data, std::size_t length) {
    return file.Append(std::string_view(static_cast<const char*>(data), length));
}
}  // namespace

int WriteDescriptor() {
    const DescriptorState& state = Descriptor();
    // Renamed into place only when whole, so that no reader ever sees half a
    // descriptor, nor one that outlived a failed write.
    StagedFile file;
    if (file.Open(state.descriptorPath) != 0 || PutBytes(file, &state.header, sizeof state.header) != 0) return -1;
    for (const auto& record : state.chunkRecords)
        if (PutBytes(file, record.get(), sizeof(ChunkRecord)) != 0) return -1;
    for (const auto& record : state.fileRecords)
        if (PutBytes(file, record.get(), sizeof(FileRecord)) != 0) return -1;
    return file.Commit(Durability());
}

namespace {
constexpr int64_t kHeaderSize = sizeof(DescriptorHeader);
constexpr int64_t kChunkRecordSize = sizeof(ChunkRecord);
constexpr int64_t kFileRecordSize = sizeof(FileRecord);
constexpr std::size_t kRecordBlock = 64 * 1024;
template <typename Record>
constexpr bool kIsFileRecord = std::is_same_v<Record, FileRecord>;
}  // namespace

DescriptorStream::~DescriptorStream() { Discard(); }

// Closed before it is unlinked: a FUSE file system would keep an open file
// that is unlinked as a hidden one.
void DescriptorStream::Discard() {
    fd_ = UniqueFd();
    if (!temporary_.empty()) ::unlinkat(folderFd_, temporary_.c_str(), 0);
    temporary_.clear();
}

int DescriptorStream::Open(int folderFd) {
    const DescriptorState& state = Descriptor();
    folderFd_ = folderFd;
    path_ = state.descriptorPath;
    const std::size_t slash = path_.rfind('/');
    if (CreateTemporaryAt(folderFd, slash == std::string::npos ? "." : path_.substr(0, slash), fd_, temporary_) != 0)
        return -1;
    fileRecordPosition_ = kHeaderSize + kChunkRecordSize * std::max<int64_t>(0, state.header.chunkCount);
    held_.reserve(kRecordBlock);
    heldChunks_.reserve(kRecordBlock);
    return 0;
}

void DescriptorStream::Failed(int err) {
    if (!failed_) Fail("cannot write", path_, err);
    failed_ = true;
}

void DescriptorStream::AddChunkRecord(int32_t chunkIndex, const std::string& chunkPath) {
    if (failed_) return;
    PutChunkRecord(MakeChunkRecord(chunkIndex, chunkPath));
}

void DescriptorStream::AddChunkRecordOf(int32_t chunkIndex, const std::string& fingerprint) {
    if (failed_) return;
    PutChunkRecord(ChunkRecordWith(chunkIndex, fingerprint));
}

void DescriptorStream::PutChunkRecord(const ChunkRecord& record) {
    // The header's chunk count fixed where the file records begin.
    if (chunkRecordsPut_ >= Descriptor().header.chunkCount) return Failed(EOVERFLOW);
    if (heldChunks_.size() + sizeof record > kRecordBlock && FlushChunkRecords() != 0) return Failed(errno);
    ++chunkRecordsPut_;
    const char* bytes = reinterpret_cast<const char*>(&record);
    heldChunks_.insert(heldChunks_.end(), bytes, bytes + sizeof record);
}

int DescriptorStream::FlushChunkRecords() {
    const auto count = static_cast<int64_t>(heldChunks_.size() / sizeof(ChunkRecord));
    const int64_t position = kHeaderSize + kChunkRecordSize * (chunkRecordsPut_ - count);
    if (WriteAllAt(fd_.get(), heldChunks_.data(), heldChunks_.size(), position) != 0) return -1;
    heldChunks_.clear();
    return 0;
}

int DescriptorStream::FlushFileRecords() {
    if (WriteAllAt(fd_.get(), held_.data(), held_.size(), fileRecordPosition_) != 0) return -1;
    fileRecordPosition_ += static_cast<int64_t>(held_.size());
    held_.clear();
    return 0;
}

void DescriptorStream::AddFileRecord(const std::string& relativePath, int32_t chunkIndex, int64_t offsetInChunk,
                                     int64_t length) {
    if (failed_) return;
    const FileRecord record = MakeFileRecord(relativePath, chunkIndex, offsetInChunk, length, fileRecordsPut_++);
    if (held_.size() + sizeof record > kRecordBlock && FlushFileRecords() != 0) return Failed(errno);
    const char* bytes = reinterpret_cast<const char*>(&record);
    held_.insert(held_.end(), bytes, bytes + sizeof record);
}

int DescriptorStream::Commit(const Durability& durability) {
    DescriptorState& state = Descriptor();
    state.header.fileRecordCount = fileRecordsPut_;
    if (!failed_ && chunkRecordsPut_ != state.header.chunkCount) {
        failed_ = true;
        return Fail("cannot write '" + path_ + "': " + std::to_string(chunkRecordsPut_) + " of " +
                    std::to_string(state.header.chunkCount) + " chunks were recorded");
    }
    if (!failed_ && (FlushChunkRecords() != 0 || FlushFileRecords() != 0 ||
                     WriteAllAt(fd_.get(), &state.header, sizeof state.header, 0) != 0))
        Failed(errno);
    if (failed_ || durability.FlushBeforeName(fd_.get(), folderFd_, state.descriptorPath) != 0) return -1;
    if (::renameat(folderFd_, temporary_.c_str(), folderFd_, kDescriptorFileName) != 0)
        return Fail("cannot rename into place", state.descriptorPath, errno);
    temporary_.clear();
    return CloseAfterPlacing(fd_, folderFd_, kDescriptorFileName, state.descriptorPath);
}

namespace {
// Reads the records of one kind as far as the file holds them: a record cut
// short is zero-filled, none is made past the end of the file.
template <typename Record>
void ReadRecords(int fd, int64_t& position, int64_t fileSize, int32_t count, std::vector<std::unique_ptr<Record>>& out,
                 bool& truncated) {
    for (int32_t i = 0; i < count; ++i) {
        if (position >= fileSize) {
            truncated = true;
            return;
        }
        auto record = std::make_unique<Record>();
        std::memset(record.get(), 0, sizeof(Record));
        int64_t n = ReadAt(fd, record.get(), sizeof(Record), position);
        if (n <= 0) {
            truncated = true;
            return;
        }
        if (n < static_cast<int64_t>(sizeof(Record))) truncated = true;
        position += n;
        out.push_back(std::move(record));
    }
}

// Opens the descriptor at path and reads as much of its header as it holds
// into header (zeroed first), the magic words checked; leaves the file's size
// in fileSize and the header bytes read in headerBytes.
int OpenDescriptor(const std::string& path, UniqueFd& fd, DescriptorHeader& header, int64_t& fileSize,
                   int64_t& headerBytes) {
    header = DescriptorHeader{};
    if (OpenRegularFile(path, "chunk set descriptor", fd, fileSize) != 0) return -1;
    headerBytes = ReadAt(fd.get(), &header, sizeof header, 0);
    if (headerBytes < 0) return Fail("cannot read", path, errno);
    if (header.magic1 != kDescriptorMagic1 || header.magic2 != kDescriptorMagic2)
        return Fail("'" + path + "' is not a chunk set descriptor");
    return 0;
}

// The header into the state, its records cleared; leaves the file's size in
// fileSize and the header bytes read in headerBytes.
int OpenIntoState(const std::string& chunkFolder, DescriptorFile& file, int64_t& fileSize, int64_t& headerBytes) {
    DescriptorState& state = Descriptor();
    ClearDescriptorRecords();
    state.truncated = false;
    file.path = BuildDescriptorPath(chunkFolder);
    if (OpenDescriptor(file.path, file.fd, state.header, fileSize, headerBytes) != 0) return -1;
    file.chunkRecordsStart = headerBytes;
    if (headerBytes < kHeaderSize) state.truncated = true;
    return 0;
}

// The header and the chunk records; leaves the file's size in fileSize.
int ReadHead(const std::string& chunkFolder, DescriptorFile& file, int64_t& fileSize) {
    int64_t position = 0;
    if (OpenIntoState(chunkFolder, file, fileSize, position) != 0) return -1;
    DescriptorState& state = Descriptor();
    ReadRecords(file.fd.get(), position, fileSize, state.header.chunkCount, state.chunkRecords, state.truncated);
    file.fileRecordsStart = position;
    return 0;
}
}  // namespace

int ReadDescriptor(const std::string& chunkFolder) {
    DescriptorFile file;
    int64_t fileSize = 0;
    if (ReadHead(chunkFolder, file, fileSize) != 0) return -1;
    DescriptorState& state = Descriptor();
    int64_t position = file.fileRecordsStart;
    ReadRecords(file.fd.get(), position, fileSize, state.header.fileRecordCount, state.fileRecords, state.truncated);
    return 0;
}

int ReadDescriptorHeader(const std::string& chunkFolder, DescriptorHeader& header) {
    const std::string lastError = GetLastErrorText();
    UniqueFd fd;
    int64_t fileSize = 0, headerBytes = 0;
    if (OpenDescriptor(BuildDescriptorPath(chunkFolder), fd, header, fileSize, headerBytes) == 0 &&
        headerBytes == kHeaderSize)
        return 0;
    SetLastErrorText(lastError);
    return -1;
}

int ReadDescriptorHeaderAt(int chunkDir, DescriptorHeader& header) {
    header = DescriptorHeader{};
    UniqueFd fd(::openat(chunkDir, kDescriptorFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (ReadAt(fd.get(), &header, sizeof header, 0) != kHeaderSize) return -1;
    return header.magic1 == kDescriptorMagic1 && header.magic2 == kDescriptorMagic2 ? 0 : -1;
}

int ReadDescriptorHead(const std::string& chunkFolder, DescriptorFile& file) {
    int64_t fileSize = 0;
    if (ReadHead(chunkFolder, file, fileSize) != 0) return -1;
    DescriptorState& state = Descriptor();
    if (state.header.fileRecordCount > 0 &&
        fileSize - file.fileRecordsStart < kFileRecordSize * state.header.fileRecordCount)
        state.truncated = true;
    return 0;
}

int ReadDescriptorHeaderOnly(const std::string& chunkFolder, DescriptorFile& file) {
    int64_t fileSize = 0, headerBytes = 0;
    if (OpenIntoState(chunkFolder, file, fileSize, headerBytes) != 0) return -1;
    DescriptorState& state = Descriptor();
    const int64_t chunks = std::max<int32_t>(0, state.header.chunkCount);
    const int64_t files = std::max<int32_t>(0, state.header.fileRecordCount);
    file.fileRecordsStart = headerBytes + kChunkRecordSize * chunks;
    if (fileSize < file.fileRecordsStart + kFileRecordSize * files) state.truncated = true;
    return 0;
}

RecordBlockReader::RecordBlockReader(int fd, int64_t position, int64_t count, std::size_t recordSize)
    : fd_(fd), position_(position), left_(std::max<int64_t>(0, count)), recordSize_(recordSize) {}

int64_t RecordBlockReader::Next(void* out) {
    if (left_ == 0) return 0;
    if (used_ == block_.size()) {
        const int64_t perBlock = static_cast<int64_t>(std::max<std::size_t>(1, kRecordBlock / recordSize_));
        block_.resize(static_cast<std::size_t>(std::min(left_, perBlock)) * recordSize_);
        const int64_t n = ReadAt(fd_, block_.data(), block_.size(), position_);
        if (n < 0) return -1;
        block_.resize(static_cast<std::size_t>(n));
        position_ += n;
        used_ = 0;
    }
    const std::size_t taken = std::min(recordSize_, block_.size() - used_);
    std::memcpy(out, block_.data() + used_, taken);
    std::memset(static_cast<char*>(out) + taken, 0, recordSize_ - taken);
    used_ += taken;
    // Where the file ends inside a record, or before it, no record follows.
    left_ = taken < recordSize_ ? 0 : left_ - 1;
    return static_cast<int64_t>(taken);
}

template <typename Record>
RecordReader<Record>::RecordReader(const DescriptorFile& file)
    : file_(file),
      blocks_(file.fd.get(), kIsFileRecord<Record> ? file.fileRecordsStart : file.chunkRecordsStart,
              kIsFileRecord<Record> ? Descriptor().header.fileRecordCount : Descriptor().header.chunkCount,
              sizeof(Record)) {}

template <typename Record>
int RecordReader<Record>::Next(Record& record) {
    if (blocks_.done()) return 0;
    const int64_t n = blocks_.Next(&record);
    if (n < 0) return Fail("cannot read", file_.path, errno);
    if (kIsFileRecord<Record> && n != kFileRecordSize)
        return Fail("the chunk set descriptor '" + file_.path + "' is cut short");
    return n > 0 ? 1 : 0;
}

template class RecordReader<FileRecord>;
template class RecordReader<ChunkRecord>;

bool DescriptorIsTruncated() { return Descriptor().truncated; }

void ClearDescriptorRecords() {
    DescriptorState& state = Descriptor();
    std::lock_guard lock(g_chunkRecordMutex);
    state.chunkRecords.clear();
    state.fileRecords.clear();
}

void CopyChunkRecords(std::vector<const ChunkRecord*>& out) {
    for (const auto& record : Descriptor().chunkRecords) out.push_back(record.get());
}

void CopyFileRecords(std::vector<const FileRecord*>& out) {
    for (const auto& record : Descriptor().fileRecords) out.push_back(record.get());
}

}  // namespace partwise
