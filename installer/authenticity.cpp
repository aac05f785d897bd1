#include "installer/authenticity.h"

#include "platform/trust.h"

const char16_t expected_organisation[] = u"VELQUORA SA";

int verify_signature(const std::u16string& path)
{
    return platform::trust_verify_file(path) ? 1 : 0;
}

int verify_publisher(const std::u16string& path)
{
    if (verify_signature(path) == 0)
        return 0;
    char16_t organisation[32] = {};
    if (!platform::trust_signer_organisation(path, organisation, 32))
        return 0;
    organisation[31] = u'\0';
    return std::u16string(organisation) == expected_organisation ? 1 : 0;
}
