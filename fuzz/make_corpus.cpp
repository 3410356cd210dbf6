// Writes the seed corpus of the descriptor fuzz target into the folder given:
// descriptors of real splits of sources made of the chunk bytes the target
// lays down (so that they join), and hostile variants of them. The output is
// the same on every run.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "chunk_bytes.h"
#include "partwise/chunk_names.h"
#include "partwise/descriptor.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"
#include "partwise/splitter.h"

namespace {

namespace fs = std::filesystem;
using partwise::DescriptorHeader;
using partwise::FileRecord;
using partwise::fuzz::kChecksumMarker;
using partwise::fuzz::kFileMarker;
using partwise::fuzz::kRecoveryMarker;
using partwise::fuzz::StreamBytes;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "descriptor_fuzz_make_corpus: %s\n", what.c_str());
    std::exit(1);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Die("cannot read '" + path + "'");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Die("cannot write '" + path + "'");
}

// The files of a folder source, by relative path, with their sizes.
using Layout = std::vector<std::pair<std::string, std::size_t>>;

// Fills the folder's files, in the order the split walks them, with the
// stream of chunk bytes, so that its chunks are exactly those bytes.
void MakeFolder(const std::string& folder, const Layout& layout) {
    fs::create_directories(folder);
    for (const auto& [relative, size] : layout) WriteWhole(folder + "/" + relative, "");
    std::vector<std::string> walk;
    if (partwise::ListFolderFiles(folder, walk, 1) != 0) Die(partwise::GetLastErrorText());
    std::size_t position = 0;
    for (const std::string& path : walk) {
        const std::string relative = path.substr(folder.size() + 1);
        for (const auto& [name, size] : layout) {
            if (name != relative) continue;
            WriteWhole(path, StreamBytes(position, size));
            position += size;
        }
    }
}

std::string Split(const std::string& source, const std::string& outputFolder, const std::string& password,
                  int32_t recovery = 0) {
    partwise::SplitJob job;
    std::memset(&job, 0, sizeof job);
    std::snprintf(job.sourcePath, sizeof job.sourcePath, "%s", source.c_str());
    std::snprintf(job.outputFolder, sizeof job.outputFolder, "%s", outputFolder.c_str());
    std::snprintf(job.password, sizeof job.password, "%s", password.c_str());
    job.totalSize = partwise::GetPathSize(source);
    job.chunkSize = static_cast<int64_t>(partwise::fuzz::kChunkSize);
    job.recoveryCount = recovery;
    partwise::ResetDescriptorState();
    if (partwise::RunSplit(job) != 0) Die("split of '" + source + "' failed: " + partwise::GetLastErrorText());
    const partwise::ChunkSetNames names = partwise::DeriveChunkSetNames(source, outputFolder);
    // The fuzz target supplies the chunks; they must be these.
    for (int32_t i = 0; i < partwise::GetChunkCount(); ++i)
        if (ReadWhole(partwise::ChunkFilePath(names.chunkFolder, names.stem, i)) != partwise::fuzz::ChunkBytes(i))
            Die("chunk " + std::to_string(i) + " of '" + source + "' differs from the fuzz target's chunk");
    return ReadWhole(partwise::BuildDescriptorPath(names.chunkFolder));
}

// A seed's descriptor with the checksum file its split wrote, in the form
// the fuzz target takes them.
std::string WithChecksums(const std::string& descriptor, const std::string& chunkFolder, const std::string& stem) {
    return descriptor + std::string(kChecksumMarker) + ReadWhole(chunkFolder + "/" + stem + ".xxh128");
}

// Byte surgery on a descriptor.
template <typename T>
void Put(std::string& descriptor, std::size_t offset, T value) {
    if (descriptor.size() < offset + sizeof value) Die("a seed is too short for its patch");
    std::memcpy(descriptor.data() + offset, &value, sizeof value);
}

std::size_t FileRecordOffset(const std::string& descriptor, int index) {
    int32_t chunkCount = 0;
    std::memcpy(&chunkCount, descriptor.data() + offsetof(DescriptorHeader, chunkCount), sizeof chunkCount);
    return sizeof(DescriptorHeader) + static_cast<std::size_t>(chunkCount) * sizeof(partwise::ChunkRecord) +
           static_cast<std::size_t>(index) * sizeof(FileRecord);
}

void PutPath(std::string& descriptor, int record, const std::string& path) {
    const std::size_t offset = FileRecordOffset(descriptor, record) + offsetof(FileRecord, relativePath);
    if (descriptor.size() < offset + sizeof FileRecord::relativePath)
        Die("a seed has no file record " + std::to_string(record));
    std::memset(descriptor.data() + offset, 0, sizeof FileRecord::relativePath);
    std::memcpy(descriptor.data() + offset, path.data(), path.size());
}

void PutName(std::string& descriptor, const std::string& name) {
    const std::size_t offset = offsetof(DescriptorHeader, sourceName);
    std::memset(descriptor.data() + offset, 0, sizeof DescriptorHeader::sourceName);
    std::memcpy(descriptor.data() + offset, name.data(), name.size());
}

// The fuzz target reads the first reserved byte as what to place in the
// output folder before the join (see PlantOutputs there).
void PutPlanting(std::string& descriptor, uint8_t choice) { descriptor[0] = static_cast<char>(choice); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: descriptor_fuzz_make_corpus OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string corpus = argv[1];
    std::string scratch = (fs::temp_directory_path() / "make_corpus.XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) Die("cannot create a scratch folder");
    const std::string sources = scratch + "/sources", chunks = scratch + "/chunks";
    fs::create_directories(sources);
    fs::create_directories(chunks);
    fs::create_directories(corpus);

    auto file = [&](const std::string& name, std::size_t size, const std::string& password = "") {
        WriteWhole(sources + "/" + name, StreamBytes(0, size));
        return Split(sources + "/" + name, chunks, password);
    };
    auto folder = [&](const std::string& name, const Layout& layout, const std::string& password = "") {
        MakeFolder(sources + "/" + name, layout);
        return Split(sources + "/" + name, chunks, password);
    };

    const std::string threeChunks = file("data.bin", 37);
    // a.txt ends where the first chunk ends; b/c.txt and b/d/z.empty hold
    // nothing. Its records: a.txt twice, b/c.txt, b/d/e.bin twice, b/d/z.empty, f.txt.
    const std::string tree =
        folder("tree", {{"a.txt", 16}, {"b/c.txt", 0}, {"b/d/e.bin", 20}, {"b/d/z.empty", 0}, {"f.txt", 1}});

    std::vector<std::pair<std::string, std::string>> seeds = {
        {"file_three_chunks", threeChunks},
        {"file_password", file("secret.txt", 37, "hunter2")},
        {"file_one_chunk", file("one.txt", 16)},
        {"file_ends_on_chunk_end", file("pair.dat", 32)},
        {"file_empty", file("empty.txt", 0)},
        {"folder_tree", tree},
        {"folder_password", folder("vault", {{"x/one", 20}, {"y", 17}}, "open sesame")},
        {"folder_empty_files", folder("blank", {{"a", 0}, {"b/c", 0}, {"d", 0}})},
        {"folder_files_on_chunk_ends", folder("edges", {{"p", 16}, {"q", 16}, {"r", 5}})},
        {"folder_ends_on_last_chunk_end", folder("even", {{"p", 16}, {"q", 16}})},
    };

    // The checksum files of the two main sets, and what can be wrong with one.
    const std::string fileSums = WithChecksums(threeChunks, chunks + "/data_spt", "data");
    const std::string treeSums = WithChecksums(tree, chunks + "/tree_spt", "tree");
    const std::size_t lineLength = 32 + 2 + std::string("data_0.spt\n").size();
    auto sums = [&](const std::string& name, const std::string& base, const std::function<void(std::string&)>& edit) {
        std::string seed = base;
        const std::size_t start = seed.find(kChecksumMarker) + kChecksumMarker.size();
        std::string text = seed.substr(start);
        edit(text);
        seeds.emplace_back(name, seed.substr(0, start) + text);
    };
    sums("checksums_file", fileSums, [](std::string&) {});
    sums("checksums_folder", treeSums, [](std::string&) {});
    sums("checksums_damaged_first", fileSums, [](std::string& t) { t[0] = t[0] == '0' ? '1' : '0'; });
    sums("checksums_damaged_last", treeSums, [&](std::string& t) { t[2 * lineLength] ^= 1; });
    sums("checksums_bad_hex", fileSums, [](std::string& t) { t[5] = 'G'; });
    sums("checksums_upper_case", fileSums, [&](std::string& t) {
        for (std::size_t i = 0; i < 32; ++i) t[lineLength + i] = static_cast<char>(std::toupper(t[lineLength + i]));
    });
    sums("checksums_missing_line", fileSums, [&](std::string& t) { t.erase(lineLength, lineLength); });
    sums("checksums_crlf", treeSums, [](std::string& t) { t.insert(t.find('\n'), "\r"); });
    sums("checksums_chunk_the_set_lacks", fileSums, [&](std::string& t) { t += t.substr(0, 32) + "  data_3.spt\n"; });
    sums("checksums_conflicting_lines", fileSums, [&](std::string& t) {
        std::string wrong = t.substr(0, lineLength);
        wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
        t += wrong;
    });
    sums("checksums_swapped_lines", treeSums, [&](std::string& t) {
        t = t.substr(lineLength, lineLength) + t.substr(0, lineLength) + t.substr(2 * lineLength);
    });
    sums("checksums_huge", fileSums, [](std::string& t) { t += std::string(4096, '0'); });
    sums("checksums_empty", treeSums, [](std::string& t) { t.clear(); });
    sums("checksums_renamed_line", fileSums, [&](std::string& t) { t[lineLength + 34 + 9] = 'u'; });
    sums("checksums_unreadable_line", fileSums, [&](std::string& t) { t.replace(lineLength, 32, "abc"); });
    sums("checksums_agreeing_lines", treeSums, [&](std::string& t) { t += t.substr(0, lineLength); });
    {
        // A zeroed fingerprint differs from every chunk's, whatever its line says.
        std::string seed = fileSums;
        const std::size_t at =
            sizeof(DescriptorHeader) + sizeof(partwise::ChunkRecord) + offsetof(partwise::ChunkRecord, fingerprint);
        std::memset(seed.data() + at, 0, sizeof partwise::ChunkRecord::fingerprint);
        seeds.emplace_back("checksums_zeroed_fingerprint", std::move(seed));
    }

    {
        // A set with two recovery files, whole and with what can go wrong.
        WriteWhole(sources + "/rdata.bin", StreamBytes(0, 37));
        const std::string set = chunks + "/rdata_spt";
        const std::string base = WithChecksums(Split(sources + "/rdata.bin", chunks, "", 2), set, "rdata");
        std::map<std::string, std::string> files;
        for (const char* name : {"rdata_r2_0_0.spr", "rdata_r2_0_1.spr", "rdata.rec", "rdata.rec.xxh128"})
            files[name] = ReadWhole(set + "/" + name);
        auto recovery = [&](const std::string& name, const std::string& descriptor,
                            const std::function<void(std::map<std::string, std::string>&)>& edit) {
            std::map<std::string, std::string> laid = files;
            edit(laid);
            std::string seed = descriptor + std::string(kRecoveryMarker);
            for (const auto& [fileName, bytes] : laid) seed += fileName + "\n" + bytes + std::string(kFileMarker);
            seeds.emplace_back(name, seed.substr(0, seed.size() - kFileMarker.size()));
        };
        const std::size_t recoveryLine = 32 + 2 + std::string("rdata_0.spt\n").size();
        std::string noLine = base;
        noLine.erase(noLine.find(kChecksumMarker) + kChecksumMarker.size() + recoveryLine, recoveryLine);
        recovery("recovery_whole", base, [](auto&) {});
        // Chunk 1 has no line: it counts as lost and is rebuilt.
        recovery("recovery_rebuilds_chunk_without_line", noLine, [](auto&) {});
        recovery("recovery_damaged_file", noLine, [](auto& f) { f["rdata_r2_0_0.spr"][3] ^= 1; });
        recovery("recovery_short_file", noLine, [](auto& f) { f["rdata_r2_0_1.spr"].resize(5); });
        recovery("recovery_two_codes", noLine, [](auto& f) { f["rdata_r3_0_0.spr"] = f["rdata_r2_0_0.spr"]; });
        recovery("recovery_group_out_of_range", noLine, [](auto& f) {
            f["rdata_r2_7_0.spr"] = f["rdata_r2_0_0.spr"];
            f.erase("rdata_r2_0_0.spr");
        });
        recovery("recovery_damaged_side_files", noLine, [](auto& f) {
            f["rdata.rec"] = "partwise-recovery 9\nfiles-per-group -1\n";
            f["rdata.rec.xxh128"] = std::string(40, 'f') + "  rdata_r2_0_0.spr\n";
        });
    }

    auto variant = [&](const std::string& name, const std::string& base,
                       const std::function<void(std::string&)>& edit) {
        std::string descriptor = base;
        edit(descriptor);
        seeds.emplace_back(name, std::move(descriptor));
    };
    const std::size_t chunkCountAt = offsetof(DescriptorHeader, chunkCount);
    const std::size_t fileCountAt = offsetof(DescriptorHeader, fileRecordCount);
    const std::size_t totalAt = offsetof(DescriptorHeader, totalSize);
    variant("hostile_dotdot_path", tree, [](std::string& d) { PutPath(d, 0, "../x"); });
    variant("hostile_deep_escape", tree, [](std::string& d) { PutPath(d, 2, "a/b/../../../c"); });
    variant("hostile_absolute_path", tree, [](std::string& d) { PutPath(d, 0, "/abs"); });
    variant("hostile_double_slash", tree, [](std::string& d) { PutPath(d, 0, "//x"); });
    variant("hostile_empty_path", tree, [](std::string& d) { PutPath(d, 1, ""); });
    // The join writes "b/." in full before it finds a folder in its place.
    variant("hostile_dot_path", tree, [](std::string& d) { PutPath(d, 6, "b/."); });
    variant("hostile_duplicate_path", tree, [](std::string& d) { PutPath(d, 4, "a.txt"); });
    variant("hostile_unterminated_path", tree, [](std::string& d) { PutPath(d, 0, std::string(256, 'n')); });
    variant("hostile_dotdot_name", threeChunks, [](std::string& d) { PutName(d, ".."); });
    variant("hostile_name_with_slash", tree, [](std::string& d) { PutName(d, "../tree"); });
    variant("hostile_chunk_count_max", threeChunks, [=](std::string& d) { Put<int32_t>(d, chunkCountAt, 0x7FFFFFFF); });
    variant("hostile_file_count_max", tree, [=](std::string& d) { Put<int32_t>(d, fileCountAt, 0x7FFFFFFF); });
    variant("hostile_negative_counts", tree, [=](std::string& d) {
        Put<int32_t>(d, chunkCountAt, -1);
        Put<int32_t>(d, fileCountAt, -2);
    });
    variant("hostile_total_one_short", threeChunks, [=](std::string& d) { Put<int64_t>(d, totalAt, 36); });
    variant("hostile_chunk_out_of_range", tree,
            [](std::string& d) { Put<int32_t>(d, FileRecordOffset(d, 3) + offsetof(FileRecord, chunkIndex), 7); });
    variant("hostile_piece_beyond_chunk", tree,
            [](std::string& d) { Put<int64_t>(d, FileRecordOffset(d, 3) + offsetof(FileRecord, offsetInChunk), 12); });
    variant("hostile_cut_in_record", tree, [](std::string& d) { d.resize(FileRecordOffset(d, 3) + 100); });
    variant("hostile_trailing_junk", threeChunks, [](std::string& d) { d += std::string(50, '\xA5'); });
    variant("planted_link_as_root", tree, [](std::string& d) { PutPlanting(d, 1); });
    variant("planted_link_to_sentinel", threeChunks, [](std::string& d) { PutPlanting(d, 2); });
    variant("planted_link_inside_root", tree, [](std::string& d) { PutPlanting(d, 3); });
    variant("planted_previous_file", threeChunks, [](std::string& d) { PutPlanting(d, 4); });
    variant("planted_previous_file_failed_join", threeChunks, [=](std::string& d) {
        PutPlanting(d, 4);
        Put<int64_t>(d, totalAt, 38);
    });
    variant("planted_previous_in_folder", tree, [](std::string& d) { PutPlanting(d, 5); });
    variant("planted_previous_in_folder_failed_join", tree, [](std::string& d) {
        // a.txt is complete before "a.txt/f" fails the join.
        PutPlanting(d, 5);
        PutPath(d, 6, "a.txt/f");
    });

    // A metadata file follows the descriptor in an input. The tree's entries
    // in walk order, with folders that hold no file, written out by hand so
    // that the seeds do not change with the time they are made.
    auto withMeta = [](const std::string& descriptor, const std::vector<std::string>& lines) {
        std::string input = descriptor + "partwise-meta 1\n";
        for (const std::string& line : lines) input += line + "\n";
        return input;
    };
    const std::vector<std::string> treeMeta = {
        "D 0755 1000000000 0 .",           "F 0644 978307200 0 a.txt",  "D 0750 1000000001 5 b",
        "F 0600 1000000002 0 b/c.txt",     "D 0700 1000000003 0 b/d",   "F 0755 1000000004 0 b/d/e.bin",
        "F 0444 1000000005 0 b/d/z.empty", "D 0555 1000000006 0 empty", "D 0711 1000000007 0 empty/deeper",
        "F 0640 1000000008 0 f.txt",       "D 0755 1000000009 0 zz"};
    auto metaVariant = [&](const std::string& name, const std::string& base, std::vector<std::string> lines,
                           const std::function<void(std::vector<std::string>&)>& edit) {
        edit(lines);
        seeds.emplace_back(name, withMeta(base, lines));
    };
    auto keep = [](std::vector<std::string>&) {};
    metaVariant("meta_folder_tree", tree, treeMeta, keep);
    metaVariant("meta_file", threeChunks, {"F 0750 978307200 250000000 ."}, keep);
    metaVariant("meta_planted_link_as_root", tree, treeMeta, keep);
    seeds.back().second[0] = 1;
    metaVariant("meta_planted_previous_in_folder", tree, treeMeta, keep);
    seeds.back().second[0] = 5;
    metaVariant("meta_hostile_dotdot_folder", tree, treeMeta,
                [](std::vector<std::string>& l) { l.insert(l.begin() + 1, "D 0777 0 0 ../escape"); });
    metaVariant("meta_hostile_absolute_folder", tree, treeMeta,
                [](std::vector<std::string>& l) { l.push_back("D 0777 0 0 /tmp"); });
    metaVariant("meta_hostile_file_outside", tree, treeMeta,
                [](std::vector<std::string>& l) { l[1] = "F 0777 0 0 ../sentinel"; });
    metaVariant("meta_hostile_unlisted_file", tree, treeMeta,
                [](std::vector<std::string>& l) { l.push_back("F 0644 0 0 zz/new"); });
    metaVariant("meta_hostile_files_swapped", tree, treeMeta,
                [](std::vector<std::string>& l) { std::swap(l[1], l[9]); });
    metaVariant("meta_hostile_setuid_bits", tree, treeMeta, [](std::vector<std::string>& l) {
        l[0] = "D 07777 0 0 .";
        l[1] = "F 06755 0 0 a.txt";
        l[2] = "D 01777 0 0 b";
    });
    metaVariant("meta_hostile_folder_over_file", tree, treeMeta,
                [](std::vector<std::string>& l) { l.insert(l.begin() + 1, "D 0755 0 0 a.txt"); });
    metaVariant("meta_hostile_bad_escape", tree, treeMeta,
                [](std::vector<std::string>& l) { l.push_back("D 0755 0 0 x\\q"); });
    metaVariant("meta_hostile_file_is_folder", threeChunks, {"D 0755 0 0 ."}, keep);
    seeds.emplace_back("meta_hostile_cut_short",
                       withMeta(tree, treeMeta).substr(0, withMeta(tree, treeMeta).size() - 3));

    for (const auto& [name, descriptor] : seeds) WriteWhole(corpus + "/" + name, descriptor);
    fs::remove_all(scratch);
    std::printf("wrote %zu seeds to %s\n", seeds.size(), corpus.c_str());
    return 0;
}
