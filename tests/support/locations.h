// The twelve plug-in locations by name, for tests that arrange clients.
#pragma once

namespace vq::testing {

inline constexpr char kHomebrewOpt[] = "/usr/local/opt/freerdp/lib/freerdp2/libvq-client.dylib";
inline constexpr char kFreeRDP2[] = "/usr/local/lib/freerdp2/libvq-client.dylib";
inline constexpr char kMacPorts[] = "/opt/local/lib/freerdp2/libvq-client.dylib";
inline constexpr char kFreeRDP3[] = "/usr/local/lib/freerdp3/libvq-client.dylib";
inline constexpr char kHomebrew[] = "/opt/homebrew/opt/freerdp/lib/freerdp2/libvq-client.dylib";
inline constexpr char kUsrLocalLib[] = "/usr/local/lib/libvq-client.dylib";
inline constexpr char kBlast[] =
    "/Applications/VMware Horizon Client.app/Contents/Frameworks/rdpvcbridge/libvq.dylib";
inline constexpr char kWorkSpaces[] =
    "/Applications/WorkSpaces.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib";
inline constexpr char kPCoIP[] =
    "/Applications/PCoIPClient.app/Contents/MacOS/vchan_plugins/libpcoip_vchan_vq.dylib";
inline constexpr char kHorizonPCoIP[] =
    "/Applications/VMware Horizon Client.app/Contents/Library/pcoip/vchan_plugins/"
    "libpcoip_vchan_vq.dylib";
inline constexpr char kCitrix[] = "/Library/Application Support/Citrix/PlugIns/vq";
inline constexpr char kDCV[] = "/Library/DCV Extensions/com.quendalore.dcvproxy.json";

// Every location with the file its link names, in the tool's own order.
struct PluginLocation {
  const char* path;
  const char* file;
  bool isModule;  // the file lies in the installed "modules", else in "conf"
};

inline constexpr PluginLocation kPluginLocations[] = {
    {kHomebrewOpt, "libfreerdp.dylib", true},
    {kFreeRDP2, "libfreerdp.dylib", true},
    {kMacPorts, "libfreerdp.dylib", true},
    {kFreeRDP3, "libfreerdp.dylib", true},
    {kHomebrew, "libfreerdp.dylib", true},
    {kUsrLocalLib, "libfreerdp.dylib", true},
    {kBlast, "libblast.dylib", true},
    {kWorkSpaces, "libpcoip.dylib", true},
    {kPCoIP, "libpcoip.dylib", true},
    {kHorizonPCoIP, "libpcoip.dylib", true},
    {kCitrix, "ica.bundle", true},
    {kDCV, "com.quendalore.dcvproxy.json", false},
};

}  // namespace vq::testing
