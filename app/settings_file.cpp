// Reading and writing the last local folder; reading the parallel row count.
#include "app/settings_file.h"

#include <algorithm>

#include "app/app.h"
#include "toolkit/files.h"

namespace app {

std::string DefaultSettingsFile() { return toolkit::SettingsFolder() + "/" + kSettingsFileName; }

void SaveLocalFolder(App& app) {
    toolkit::WriteSetting(app.settingsFile, kSettingsSection, kLastPathKey, app.ui.localPathCombo.Text());
}

std::string ReadLocalFolder(App& app, const std::string& defaultFolder) {
    return toolkit::ReadSetting(app.settingsFile, kSettingsSection, kLastPathKey, defaultFolder);
}

int ReadParallelRows(App& app, std::string& problem) {
    problem.clear();
    const std::string text = toolkit::ReadSetting(app.settingsFile, kSettingsSection, kParallelRowsKey, "");
    if (text.empty()) return kDefaultParallelRows;
    // Two digits at most: a long run of digits must not overflow on its way in.
    const bool digits = text.size() <= 2 &&
                        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int count = digits ? std::stoi(text) : 0;
    if (count >= 1 && count <= kMaxParallelRows) return count;
    problem = std::string("配置项") + kParallelRowsKey + "的值无效（应为1到" +
              std::to_string(kMaxParallelRows) + "），使用" + std::to_string(kDefaultParallelRows);
    return kDefaultParallelRows;
}

}  // namespace app
