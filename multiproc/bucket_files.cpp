// Bucket files and the diff manifest as a worker writes them.
#include "multiproc/bucket_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>

#include "multiproc/le_bytes.hpp"

namespace zelkor::mp {
void BucketRecords::add(IdSpan key, const Stat& stat) {
  put_le<uint64_t>(bytes_, key.size());
  for (uint32_t id : key) put_le(bytes_, id);
  put_le(bytes_, stat.freq);
  put_le(bytes_, stat.score);
  ++count_;
}

void BucketRecords::write_file(const std::string& path) const {
  auto file = File::open_write(path, WriteMode::Truncate, 0600);
  if (!file) throw Fault("create bucket file", file.error().render());
  std::string header;
  put_le(header, count_);
  Result<void> written = file->write_all(header);
  if (written) written = file->write_all(bytes_);
  if (written) written = file->close();
  if (!written) throw Fault("write bucket record", written.error().render());
}

void remove_abandoned_step_dir(const std::string& dir) {
  struct stat st {};
  if (dir.empty() || ::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  const std::filesystem::path step = std::filesystem::path(dir).parent_path();
  if (step.filename().string().starts_with(STEP_DIR_PREFIX)) ::rmdir(step.c_str());  // only when empty
}

std::string bucket_file_path(const std::string& dir, const char* kind, uint64_t bucket) {
  return (std::filesystem::path(dir) / fmt::format("{}_{}.bin", kind, bucket)).string();
}

std::string diff_manifest_bytes(uint64_t buckets, const std::vector<uint8_t>& old_bits,
                                const std::vector<uint8_t>& new_bits) {
  std::string out = "ZKMF";
  put_le(out, static_cast<uint32_t>(buckets));
  out.append(old_bits.begin(), old_bits.end());
  out.append(new_bits.begin(), new_bits.end());
  return out;
}

void write_diff_manifest(const std::string& dir, uint64_t buckets,
                         const std::vector<uint8_t>& old_bits, const std::vector<uint8_t>& new_bits) {
  const std::string path = (std::filesystem::path(dir) / "diff_manifest.bin").string();
  auto file = File::open_write(path, WriteMode::Truncate, 0600);
  Result<void> written = file ? file->write_all(diff_manifest_bytes(buckets, old_bits, new_bits))
                              : Result<void>(std::unexpected(file.error()));
  if (written) written = file->close();
  if (!written) throw Fault("write diff manifest", written.error().render());
}

}  // namespace zelkor::mp
