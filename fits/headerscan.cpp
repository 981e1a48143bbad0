#include "fits/headerscan.h"

void scanHeaderToEnd(const Header& header, std::initializer_list<const char*> keywords,
                     const std::function<void(std::size_t keyword, const std::string& value)>& found)
{
    std::string value;
    for (const HeaderBlock* block = header.firstBlock(); block; block = block->next) {
        std::size_t index = 0;
        for (const char* keyword : keywords) {
            if (findCardInBlock(block, keyword, value) > 0)
                found(index, value);
            ++index;
        }
        if (findCardInBlock(block, "END", value) < 1)
            continue;
        index = 0;
        for (const char* keyword : keywords) {
            if (findCardInBlock(block, keyword, value) < 1 && findCard(block->next, keyword, value) > 0)
                found(index, value);
            ++index;
        }
        return;
    }
}
