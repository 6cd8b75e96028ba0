#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class FileSystem;

// Receives a log line (ending in "\n") about an offload.
using MergingReport = std::function<void(std::string_view line)>;

// The file, beside velmora.ini, that lists the merging offloads the tap turned off while they are
// off, so that a start after a kill turns them on again.
inline constexpr const char* kMergingStateFile = "velmora.offloads";

// The offloads turned off and not on again yet, one "INTERFACE OFFLOAD" line each ("eth0 GRO"),
// written through `files` at every change and removed when none is left; lines already in the
// file are kept. Used under its owner's lock.
class MergingRecord {
 public:
  // `report` hears, once, that the file cannot be written.
  MergingRecord(FileSystem& files, std::string path, MergingReport report);
  void Add(const std::string& interface, std::string_view offload);
  void Remove(const std::string& interface, std::string_view offload);

 private:
  void Write();

  FileSystem& files_;
  std::string path_;
  MergingReport report_;
  std::vector<std::string> lines_;
  bool write_failure_reported_ = false;
};

// Turns on again the offloads that a run that did not stop left off, as the record at `path`
// lists them: each change, refusal and unreadable line is reported. An offload that is on, or
// whose interface is gone, is forgotten; one that refuses to be turned on stays recorded for the
// next start.
void RestoreRecordedMerging(FileSystem& files, const std::string& path,
                            const MergingReport& report);

// Keeps the kernel from merging received frames on one interface while the object lives: turns
// GRO and LRO off where they are on, and on again at destruction (only those it turned off).
// Each change and each refusal is reported as a log line, and what is off is kept in the record
// (when there is one) until it is on again. Made by the thread that opens the tap or by a reader
// that opened a capture again, destroyed by the thread that closes it, in the interface's network
// namespace.
class ReceiveMergingGuard {
 public:
  using Report = MergingReport;
  ReceiveMergingGuard(std::string interface, Report report, MergingRecord* record);
  ~ReceiveMergingGuard();
  ReceiveMergingGuard(const ReceiveMergingGuard&) = delete;
  ReceiveMergingGuard& operator=(const ReceiveMergingGuard&) = delete;

 private:
  std::string interface_;
  Report report_;
  MergingRecord* record_;
  bool gro_off_ = false;
  bool lro_off_ = false;
};

}  // namespace velmora
