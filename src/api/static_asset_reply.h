#pragma once

#include "api/api_envelope.h"
#include "api/static_assets.h"

#include <string>
#include <string_view>

namespace ota::backend
{

// The policy every served file carries: scripts, styles and images only from this service, no
// inline script or style, no frames, no form posts, and connections only back to the service
// itself (its WebSocket URL named in full, for browsers whose 'self' leaves out ws://). host is the
// request's Host header, already checked to name a loopback host; empty leaves the ws:// URL out.
std::string buildContentSecurityPolicy(std::string_view host);

// The answer for a path that names a static asset: the file for GET, 405 with "Allow: GET" for
// any other method (HEAD included, as for the GET routes of the API).
S_HttpReply buildStaticAssetReply(std::string_view method, std::string_view path, std::string_view host,
                                  const S_StaticAsset& asset);

}  // namespace ota::backend
