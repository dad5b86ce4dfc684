// The module's identifiers that its registry scripts are applied with, without anything of the
// platform, so that the installer's generator, which runs on the build machine, applies them alike.
#pragma once

namespace orvane {

// The replacement APPID of both registry scripts.
inline constexpr char kAppIdText[] = "{420F273D-2A34-443C-A3A4-E55D28FF9DC5}";

}  // namespace orvane
