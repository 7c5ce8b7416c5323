// The sample settings file shipped with the program and README's settings
// table, read through the real loader: a key in one and not the other, a
// default that drifts, or a key the loader does not read fails here.
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "settings/forward_settings.h"
#include "tests/support/temp_folder.h"

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;

// Each match of `pattern` in `text`, as (first group, second group).
Keys Matches(const std::string& text, const char* pattern) {
  Keys keys;
  const std::regex expression(pattern);
  for (std::sregex_iterator at(text.begin(), text.end(), expression), end; at != end; ++at) {
    keys.push_back({(*at)[1], (*at)[2]});
  }
  return keys;
}

TEST(SampleSettings, ShowsReadmesKeysWithTheirDefaults) {
  const std::string source = NPH_GW_SOURCE_DIR;
  const std::string sample = TempFolder::Read(source + "/nph-gw.ini.sample");
  const std::string readme = TempFolder::Read(source + "/README.md");
  const size_t table = readme.find("\n## Settings\n");
  // Sample lines ";Name=value"; README rows "| `Name` | default | meaning |".
  const Keys shown = Matches(sample, "\n;(\\w+)=([^\n]*)");
  const Keys documented = Matches(readme.substr(table, readme.find("\n## ", table + 1) - table),
                                  "\n\\| `(\\w+)` \\| ([^|]*) \\|");
  ASSERT_FALSE(shown.empty());
  ASSERT_EQ(documented.size(), shown.size());

  TempFolder folder;
  auto load = [&](const std::string& text) {
    folder.Write("nph-gw.ini", text);
    ForwardSettings settings;
    std::memset(&settings, 0, sizeof settings);  // so that equal settings have equal bytes
    LoadForwardSettings(folder.File("nph-gw").c_str(), &settings);
    return std::vector<char>(reinterpret_cast<char*>(&settings),
                             reinterpret_cast<char*>(&settings) + sizeof settings);
  };
  const std::vector<char> defaults = load("");
  EXPECT_EQ(defaults, load(sample)) << "the sample as shipped changes nothing";
  for (size_t i = 0; i < shown.size(); ++i) {
    const std::string& name = shown[i].first;
    const std::string& value = shown[i].second;
    const std::string& cell = documented[i].second;
    ASSERT_EQ(documented[i].first, name) << "README and the sample list the keys alike";
    // A default given as a description (PublicPath: the script's path) shows
    // a value that, set, is not the default.
    const bool literal = cell == "*(empty)*" || (cell.size() > 2 && cell[0] == '`');
    const std::string set = sample.substr(0, sample.find("\n;" + name + "=")) + "\n" + name + "=";
    EXPECT_EQ(literal, load(set + value) == defaults) << name;
    if (literal) {
      EXPECT_EQ(cell == "*(empty)*" ? "" : cell.substr(1, cell.size() - 2), value);
    }
    EXPECT_NE(defaults, load(set + (value == "1" ? "0" : "1"))) << "the loader reads " << name;
  }
}

}  // namespace
