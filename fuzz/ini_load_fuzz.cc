// Loads any bytes as an INI file, saves the result and loads that again: the second load must
// give exactly the sections, keys and values of the first, and every value must read back as an
// integer list without harm.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ini/stdini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmora::MemoryFileSystem files;
  files.WriteFileAtomically("in.ini", std::string(reinterpret_cast<const char*>(data), size));
  velmora::stdini first(files);
  if (!first.Load("in.ini") || !first.Save("out.ini")) abort();
  velmora::stdini second(files);
  if (!second.Load("out.ini") || second.sections() != first.sections()) abort();
  for (const auto& [name, section] : first.sections()) {
    for (const auto& [key, value] : section) {
      if (first.GetValue(name, key) != value) abort();
      first.GetIntList(name, key);
    }
  }
  return 0;
}
