#pragma once

namespace velgw {

const char *HelpText();

}  // namespace velgw
