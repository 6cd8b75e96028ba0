#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ini/ini_file_reader.h"
#include "tables/network_tables.h"

namespace velmora {

class FileSystem;
class Log;
class OperatorPrompt;

// Reads the table sections of velmora.ini ([NETWORKS], [NETV6WORKS] and the row sections of
// their subnets) and the stand-alone row files that older versions kept beside it, into tables
// that Finish publishes. Lines that break the rules are logged and skipped; a subnet whose
// address and mask disagree is reported and kept. Used by the start-up thread only.
class TableFileReader {
 public:
  // `own_files` names the router's own files, which a table name never reads.
  TableFileReader(NetworkTables& tables, FileSystem& files, Log& log, OperatorPrompt& prompt,
                  std::function<std::vector<std::string>()> own_files);

  IniSectionReader& networks() { return networks_; }
  IniSectionReader& netv6works() { return netv6works_; }
  IniSectionReader& row_sections() { return row_sections_; }
  IniSectionReader& ipv6_row_sections() { return ipv6_row_sections_; }

  // After the whole file: keeps the first 128 subnets and publishes the tables.
  void Finish();

  // A row line cut into its parts.
  struct RowText {
    std::string text;  // the line without comment and blanks at the ends
    std::string address;
    std::string mac;  // the 17 characters after the address and its blanks
    std::string alias;
  };

 private:
  // Hands the lines of one section kind to a member of the reader.
  class Section final : public IniSectionReader {
   public:
    using Begin = void (TableFileReader::*)(std::string_view);
    using Line = void (TableFileReader::*)(std::string_view);
    Section(TableFileReader& owner, Begin begin, Line line)
        : owner_(owner), begin_(begin), line_(line) {}
    void BeginSection(std::string_view header) override {
      if (begin_ != nullptr) (owner_.*begin_)(header);
    }
    void ReadLine(std::string_view line) override { (owner_.*line_)(line); }

   private:
    TableFileReader& owner_;
    Begin begin_;
    Line line_;
  };

  void ReadNetworksLine(std::string_view line);
  void ReadNetv6worksLine(std::string_view line);
  void AddNetv6worksRow();
  void BeginRowSection(std::string_view header);
  void BeginIpv6RowSection(std::string_view header);
  // The rows that follow belong to `subnet` (0: to none), unless its row file was read.
  void StartRowSection(std::string_view header, SubnetId subnet);
  void ReadRowSectionLine(std::string_view line);
  void ReadIpv6RowSectionLine(std::string_view line);

  // The lines of the stand-alone row file named `name`, if there is one that may be read.
  std::vector<std::string> ReadRowFile(const std::string& name);
  enum class RowLine { kRow, kSkip, kEnd };
  // What the two row readers share: the line cut into its parts, unless it is empty, ends the
  // section, finds the table full or has no MAC.
  RowLine PrepareRow(std::string_view line, bool in_ini, size_t rows, RowText& row);
  // One row line for `subnet`; false when the line ends the section.
  bool ReadIpMacRow(std::string_view line, const SubnetEntry& subnet, bool in_ini);
  bool ReadIpv6MacRow(std::string_view line, const Ipv6SubnetEntry& subnet, bool in_ini);
  void Skip(std::string_view why, std::string_view line);
  // Replaces `text` by its storable form, logging the change.
  void Repair(std::string_view what, std::string& text, std::string storable);

  NetworkTables& tables_;
  FileSystem& files_;
  Log& log_;
  OperatorPrompt& prompt_;
  std::function<std::vector<std::string>()> own_files_;
  Section networks_{*this, nullptr, &TableFileReader::ReadNetworksLine};
  Section netv6works_{*this, nullptr, &TableFileReader::ReadNetv6worksLine};
  Section row_sections_{*this, &TableFileReader::BeginRowSection,
                        &TableFileReader::ReadRowSectionLine};
  Section ipv6_row_sections_{*this, &TableFileReader::BeginIpv6RowSection,
                             &TableFileReader::ReadIpv6RowSectionLine};

  TableSnapshot building_;
  std::string row_buffer_;       // a subnet row of [NETWORKS] until it is complete
  std::string ipv6_row_buffer_;  // an [NETV6WORKS] row that lacks a field and ends in ","
  std::set<std::string> files_read_;
  SubnetId section_subnet_ = 0;  // the subnet whose row section is being read; 0: none
  bool table_full_logged_ = false;
};

}  // namespace velmora
