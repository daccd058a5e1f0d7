// Reading and writing the last local folder.
#include "app/settings_file.h"

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

}  // namespace app
