#include "services/vendor_site.h"

namespace {
// The vendor's number for this product; it tells its event log which
// program sent a report.
constexpr int kProductId = 5601;
}  // namespace

VendorSite VendorSiteAt(const std::string& host) {
  VendorSite site;
  site.host = host;
  site.productId = kProductId;
  if (!site.networkAllowed()) return site;  // no addresses to reach
  site.versionFileUrl = "https://" + host + "/pitchwell/pitchwell.xml";
  site.downloadUrl = "https://" + host + "/download.shtml?ref=pwupdate";
  site.productPageUrl = "https://" + host + "/pitchwell/";
  site.siteName = host;
  return site;
}

VendorSite DefaultVendorSite() { return VendorSiteAt(PW_VENDOR_HOST); }
