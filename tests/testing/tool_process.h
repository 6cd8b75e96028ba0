#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

// The project's tools (inserter-sink, bouncer, ...) run as processes of a test.
namespace velmora::testing {

// Starts `program` with `arguments` in `dir`, its output into `out` there.
inline pid_t Spawn(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                   const std::string& out) {
  const pid_t pid = fork();
  if (pid == 0) {
    chdir(dir.c_str());
    const int fd = open((dir / out).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.data()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// The frames of a pcap file that inserter-sink wrote (host byte order).
inline std::vector<std::string> PcapFrames(const std::string& file) {
  std::vector<std::string> frames;
  size_t at = 24;
  while (at + 16 <= file.size()) {
    uint32_t captured = 0;
    std::memcpy(&captured, file.data() + at + 8, sizeof captured);
    frames.push_back(file.substr(at + 16, captured));
    at += 16 + captured;
  }
  return frames;
}

}  // namespace velmora::testing
