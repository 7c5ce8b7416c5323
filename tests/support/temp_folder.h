// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) base = ".";
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path candidate =
          base / ("nph-gw-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
      if (std::filesystem::create_directory(candidate, error)) {
        path_ = candidate;
        return;
      }
    }
  }
  ~TempFolder() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool Ok() const { return !path_.empty(); }
  // `name` inside the folder.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

  // Writes `bytes` exactly (binary, so line ends stay as given).
  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  // A text file (the log) as the C library reads text: the platform's line
  // ends come back as "\n", so one expectation holds on every platform.
  static std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // The whole file, or "" when it cannot be read.
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path path_;
};
