// Where the vendor's web site is. The host is a build setting
// (PW_VENDOR_HOST, see CMakeLists.txt); the paths are fixed by the vendor's
// server.
#pragma once

#include <string>

struct VendorSite {
  std::string host;            // "www.pitchwell.app"; may carry ":port"
  std::string versionFileUrl;  // "https://<host>/pitchwell/pitchwell.xml"
  std::string downloadUrl;     // "https://<host>/download.shtml?ref=pwupdate"
  std::string productPageUrl;  // "https://<host>/pitchwell/"
  std::string siteName;        // shown in the update offer: the host
  int productId = 0;           // the product's number in the vendor's event log

  // A build configured with an empty host never touches the network: no
  // update check, no event report.
  bool networkAllowed() const { return !host.empty(); }
};

// The site this build was configured for.
VendorSite DefaultVendorSite();
// The same addresses on another host (a test server, a mirror).
VendorSite VendorSiteAt(const std::string& host);
