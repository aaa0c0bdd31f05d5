#pragma once

#include "src/module/runtime.h"

namespace dorvane {

void ready_codec_search_type(Here at = Here());
Ref new_codec_search_function(Here at = Here());

}  // namespace dorvane
