// The directory settings' part of ResetSettings.
#ifndef TZPLATFORM_DIRECTORY_DIRECTORY_SETTINGS_H_
#define TZPLATFORM_DIRECTORY_DIRECTORY_SETTINGS_H_

namespace tzplatform {

// Forgets the settings SetDirectorySettings made: the environment decides.
void ResetDirectorySettings();

}  // namespace tzplatform

#endif  // TZPLATFORM_DIRECTORY_DIRECTORY_SETTINGS_H_
