#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

class FileSystem;

// The file, beside velmora.ini, that lists the merging offloads the tap turned off while they are
// off, so that a start after a kill turns them on again.
inline constexpr const char* kMergingStateFile = "velmora.offloads";

// The offloads turned off and not on again yet, one "INTERFACE OFFLOAD" line each ("eth0 GRO"),
// written through `files` at every change and removed when none is left; lines already in the
// file are kept. Used by the thread that opens and closes the tap.
class MergingRecord {
 public:
  MergingRecord(FileSystem& files, std::string path);
  void Add(const std::string& interface, std::string_view offload);
  void Remove(const std::string& interface, std::string_view offload);

 private:
  void Write();

  FileSystem& files_;
  std::string path_;
  std::vector<std::string> lines_;
};

using MergingReport = std::function<void(std::string_view line)>;

// Turns on again the offloads that a run that did not stop left off, as the record at `path`
// lists them: each change, refusal and unreadable line is reported. What cannot be turned on now
// (the interface is not there) stays recorded for the next start.
void RestoreRecordedMerging(FileSystem& files, const std::string& path,
                            const MergingReport& report);

// Keeps the kernel from merging received frames on one interface while the object lives: turns
// GRO and LRO off where they are on, and on again at destruction (only those it turned off).
// Each change and each refusal is reported as a log line, and what is off is kept in the record
// (when there is one) until it is on again. Made and destroyed by the thread that opens and closes
// the tap, in the interface's network namespace.
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
