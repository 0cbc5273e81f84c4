#include "platform/resource_trailer.h"

namespace ombrel {

TTrailerLayout ParseTrailerFooter(std::string_view footer, uint64_t fileSize) {
    TTrailerLayout layout;
    layout.programSize = fileSize;
    if (footer.size() != kTrailerFooterSize || fileSize < kTrailerFooterSize ||
        footer.substr(8) != std::string_view(kTrailerMagic, 8)) {
        layout.state = TTrailerState::Missing;
        return layout;
    }
    uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(footer[i]);
    if (length > fileSize - kTrailerFooterSize) {
        layout.state = TTrailerState::Damaged;
        layout.resourceSize = length;
        return layout;
    }
    layout.state = TTrailerState::Found;
    layout.resourceSize = length;
    layout.programSize = fileSize - kTrailerFooterSize - length;
    return layout;
}

std::string MakeTrailerFooter(uint64_t resourceSize) {
    std::string footer(kTrailerFooterSize, '\0');
    for (int i = 0; i < 8; ++i) footer[i] = static_cast<char>((resourceSize >> (8 * i)) & 0xFF);
    footer.replace(8, 8, kTrailerMagic, 8);
    return footer;
}

}  // namespace ombrel
