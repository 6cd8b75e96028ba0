#include "support/log.h"

#include "support/operator_prompt.h"

namespace velmora {

Log::Log(Clock& clock) : clock_(clock) {}

Log::~Log() {
  std::lock_guard<std::mutex> guard(mutex_);
  CloseFileLocked();
}

Log& Log::operator<<(std::string_view piece) {
  OperatorPrompt* alert = nullptr;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    InsertLocked(piece);
    if (list_error_) alert = prompt_;
    list_error_ = false;
  }
  if (alert != nullptr) {
    alert->Ask({.title = "Error", .text = "LIST ERROR!", .icon = PromptIcon::kError});
  }
  return *this;
}

Log& Log::operator<<(int32_t value) {
  return *this << std::string_view(std::to_string(value));
}

Log& Log::operator<<(uint16_t value) {
  return *this << std::string_view(std::to_string(value));
}

void Log::SetConsoleTarget(ConsoleTarget* target) {
  std::lock_guard<std::mutex> guard(mutex_);
  console_ = target;
}

void Log::SetPrompt(OperatorPrompt* prompt) {
  std::lock_guard<std::mutex> guard(mutex_);
  prompt_ = prompt;
}

void Log::Configure(const LogConfig& config) {
  std::lock_guard<std::mutex> guard(mutex_);
  config_ = config;
  level_.store(config.level, std::memory_order_relaxed);
}

void Log::MaintainFile() {
  std::lock_guard<std::mutex> guard(mutex_);
  MaintainFileLocked();
}

std::string Log::current_file_name() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return config_.file_name + suffix_;
}

void Log::InsertLocked(std::string_view piece) {
  int piece_level = 0;
  while (piece_level < static_cast<int>(piece.size()) && piece[piece_level] == '!') ++piece_level;
  piece.remove_prefix(piece_level);
  if (piece_level > config_.level) {
    last_piece_suppressed_ = true;
    return;
  }
  if (pending_.empty()) line_level_ = piece_level;
  pending_.append(piece);
  if (pending_.find('\n') == std::string::npos) return;
  if (console_ == nullptr) {
    BoundPendingLocked();
    return;
  }
  FlushPendingLocked();
}

void Log::FlushPendingLocked() {
  last_piece_suppressed_ = false;
  // A file that could not be opened (or reopened after switching) is tried again now and then,
  // so that file logging resumes by itself.
  if (file_ == nullptr && config_.log_on != 0 && !in_maintenance_ &&
      clock_.Now() - last_open_attempt_ >= kReopenInterval) {
    MaintainFileLocked();
  }
  if (file_ != nullptr) WriteFileLocked();
  ShowInConsoleLocked();
  pending_.clear();
}

void Log::WriteFileLocked() {
  std::string copy;
  copy.reserve(pending_.size() + 8);
  for (char c : pending_) {
    if (c == '\n') copy.push_back('\r');
    copy.push_back(c);
  }
  std::fwrite(copy.data(), 1, copy.size(), file_);
  if (!in_maintenance_) MaintainFileLocked();
}

void Log::ShowInConsoleLocked() {
  size_t start = 0;
  while (start <= pending_.size()) {
    size_t end = pending_.find('\n', start);
    if (end == std::string::npos) end = pending_.size();
    if (end > start) {
      console_->AddEntryAtLevel(std::string_view(pending_).substr(start, end - start), line_level_);
    }
    start = end + 1;
  }
  const int count = console_->EntryCount();
  if (count < 0) {
    list_error_ = true;
  } else {
    for (int n = count; n > kConsoleEntries; --n) console_->RemoveOldest();
  }
  for (int attempt = 0; attempt < 100 && !console_->SelectLast(); ++attempt) {
  }
}

void Log::BoundPendingLocked() {
  if (pending_.size() <= kMaxPendingWithoutConsole) return;
  size_t cut = pending_.size() - kMaxPendingWithoutConsole / 2;
  const size_t line_end = pending_.find('\n', cut);
  if (line_end != std::string::npos) cut = line_end + 1;
  pending_.erase(0, cut);
}

void Log::MaintainFileLocked() {
  in_maintenance_ = true;
  if (config_.log_on == 0) {
    CloseFileLocked();
  } else if (file_ == nullptr) {
    // One piece: a line already pending would otherwise be shown with the message's first part.
    if (!OpenFileLocked("ab+")) {
      InsertLocked("Error opening Log file \"" + config_.file_name + suffix_ + "\"\n");
    }
  } else {
    std::fseek(file_, 0, SEEK_END);
    const bool too_big = std::ftell(file_) > static_cast<long>(config_.file_size_kb) * 1024;
    if (!too_big) {
      std::fflush(file_);
    } else {
      CloseFileLocked();
      suffix_ = suffix_ == '1' ? '2' : '1';
      OpenFileLocked("wb+");
    }
  }
  in_maintenance_ = false;
}

bool Log::OpenFileLocked(const char* mode) {
  last_open_attempt_ = clock_.Now();
  const std::string name = config_.file_name + suffix_;
  file_ = std::fopen(name.c_str(), mode);
  return file_ != nullptr;
}

void Log::CloseFileLocked() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
}

void StreamConsole::AddEntryAtLevel(std::string_view line, int level) {
  if (priority_prefixes_) std::fputs(level == 1 ? "<3>" : level == 2 ? "<4>" : "<6>", stream_);
  AddEntry(line);
}

void StreamConsole::AddEntry(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fputc('\n', stream_);
  std::fflush(stream_);
  ++count_;
}

}  // namespace velmora
