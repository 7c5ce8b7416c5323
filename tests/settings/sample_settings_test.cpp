// The sample settings file shipped with the program, read through the real
// loader. The cases come from the sample itself and from README's settings
// table, so a key added to one and not the other, a default that drifts, or a
// misspelt key fails here.
#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

const std::string kSourceDir = NPH_GW_SOURCE_DIR;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Key {
  std::string name;
  std::string value;
  bool literal;  // README gives the default as a value, not as a description
  size_t line;   // in the sample
};

// The sample's settings are the lines ";Name=value"; its prose has "; ".
std::vector<Key> SampleKeys(const std::vector<std::string>& lines) {
  std::vector<Key> keys;
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t equals = lines[i].find('=');
    if (lines[i].size() > 1 && lines[i][0] == ';' && lines[i][1] != ' ' && equals != std::string::npos) {
      keys.push_back({lines[i].substr(1, equals - 1), lines[i].substr(equals + 1), true, i});
    }
  }
  return keys;
}

// README's rows "| `Name` | default | meaning |"; a default is `value`,
// *(empty)*, or a description.
std::vector<Key> ReadmeKeys() {
  std::string readme = TempFolder::Read(kSourceDir + "/README.md");
  size_t start = readme.find("\n## Settings\n");
  std::vector<Key> keys;
  for (const std::string& row : Lines(readme.substr(start, readme.find("\n## ", start + 1) - start))) {
    if (row.rfind("| `", 0) != 0) continue;
    size_t nameEnd = row.find('`', 3);
    size_t cellStart = row.find("| ", nameEnd) + 2;
    std::string cell = row.substr(cellStart, row.find(" |", cellStart) - cellStart);
    bool quoted = cell.size() > 2 && cell.front() == '`' && cell.back() == '`';
    keys.push_back({row.substr(3, nameEnd - 3), quoted ? cell.substr(1, cell.size() - 2) : "",
                    quoted || cell == "*(empty)*", 0});
  }
  return keys;
}

class SampleSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.Ok());
    lines_ = Lines(TempFolder::Read(kSourceDir + "/nph-gw.ini.sample"));
    keys_ = SampleKeys(lines_);
    ASSERT_FALSE(keys_.empty()) << "no sample at " << kSourceDir;
    defaults_ = Load(nullptr);
  }

  // `lines` as the program's settings file; nullptr: no file.
  ForwardSettings Load(const std::vector<std::string>* lines) {
    if (lines) {
      std::string text;
      for (const std::string& line : *lines) text += line + "\n";
      folder_.Write("nph-gw.ini", text);
    }
    ForwardSettings settings;
    std::memset(&settings, 0, sizeof settings);  // so that equal settings have equal bytes
    LoadForwardSettings(folder_.File("nph-gw").c_str(), &settings);
    return settings;
  }
  bool IsDefault(const ForwardSettings& settings) const {
    return std::memcmp(&settings, &defaults_, sizeof settings) == 0;
  }

  TempFolder folder_;
  std::vector<std::string> lines_;
  std::vector<Key> keys_;
  ForwardSettings defaults_;
};

TEST_F(SampleSettings, HasReadmesKeysInItsOrder) {
  std::vector<std::string> sample, readme;
  for (const Key& key : keys_) sample.push_back(key.name);
  for (const Key& key : ReadmeKeys()) readme.push_back(key.name);
  EXPECT_EQ(readme, sample);
}

TEST_F(SampleSettings, AsShippedChangesNothing) {
  EXPECT_TRUE(IsDefault(Load(&lines_)));
}

TEST_F(SampleSettings, EachLineUncommentedShowsTheDefaultAndIsRead) {
  std::vector<Key> readme = ReadmeKeys();
  for (const Key& key : keys_) {
    SCOPED_TRACE(lines_[key.line]);
    auto documented = std::find_if(readme.begin(), readme.end(),
                                   [&](const Key& row) { return row.name == key.name; });
    ASSERT_NE(documented, readme.end());
    std::vector<std::string> lines = lines_;
    lines[key.line] = key.name + "=" + key.value;
    // A key whose default is a description (PublicPath: the script's path)
    // shows a value that, set, is not the default.
    EXPECT_EQ(documented->literal, IsDefault(Load(&lines)));
    if (documented->literal) {
      EXPECT_EQ(documented->value, key.value);
    }
    lines[key.line] = key.name + "=" + (key.value == "1" ? "0" : "1");
    EXPECT_FALSE(IsDefault(Load(&lines))) << "the loader does not read " << key.name;
  }
}

}  // namespace
