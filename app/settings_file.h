// The settings file "配置文件.ini": section "配置项", key "上次路径", the last
// local folder, and key "同时传输数", how many queue rows run at once.
#pragma once

#include <string>

namespace app {

struct App;

inline constexpr const char* kSettingsFileName = "配置文件.ini";
inline constexpr const char* kSettingsSection = "配置项";
inline constexpr const char* kLastPathKey = "上次路径";
inline constexpr const char* kParallelRowsKey = "同时传输数";
inline constexpr int kDefaultParallelRows = 3;
inline constexpr int kMaxParallelRows = 10;

// Where the program keeps the file: its own folder, or the user's
// configuration folder when that one is not writable.
std::string DefaultSettingsFile();

// Writes the text of localPathCombo.
void SaveLocalFolder(App& app);

// The stored folder, or the default when there is none.
std::string ReadLocalFolder(App& app, const std::string& defaultFolder);

// How many queue rows run at once: the stored count (1 to kMaxParallelRows),
// kDefaultParallelRows when none is stored. A stored text that is no such
// count gives the default and a line for the session log in `problem`.
int ReadParallelRows(App& app, std::string& problem);

}  // namespace app
