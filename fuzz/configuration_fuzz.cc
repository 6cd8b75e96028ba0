// Reads any bytes as velmora.ini (and, after a NUL byte, as the stand-alone row file SubNet_001)
// on an in-memory file system. Whatever loads must save, and the saved file must load and save
// to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/stored_configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  velmora::testing::StoredConfiguration first;
  if (split != std::string::npos) {
    first.files.WriteFileAtomically("SubNet_001", input.substr(split + 1));
  }
  first.Load(input.substr(0, split));
  const std::string saved = first.Save();
  velmora::testing::StoredConfiguration second;
  second.Load(saved);
  if (second.Save() != saved) {
    std::fprintf(stderr, "The saved configuration does not read back:\n%s\n", saved.c_str());
    std::abort();
  }
  return 0;
}
