// Which DACLs the Windows build leaves on var, judged on descriptors made from SDDL: Wine
// keeps no file security descriptors, so no run under Wine shows what var got.
#include <gtest/gtest.h>

#include <sddl.h>

#include "platform/win32/security.h"

TEST(VarSecurity, OnlyAProtectedDaclOfTheThreePrincipalsIsLeftAlone)
{
    const std::string user = "S-1-5-21-1-2-3-1001";
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA(user.c_str(), &sid));
    for (const auto& [dacl, tight] : std::vector<std::pair<std::string, bool>>{
             {platform::var_dacl_sddl(user), true},
             {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
             {"D:P(A;OICI;FA;;;SY)(D;OICI;FA;;;WD)", true},
             {"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")", false},
             {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false},
             {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1002)", false},
             {"D:P(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)", false},
             {"D:NO_ACCESS_CONTROL", false}}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl.c_str(), SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << dacl;
        EXPECT_EQ(platform::var_dacl_is_tight(descriptor, sid), tight) << dacl;
        LocalFree(descriptor);
    }
    LocalFree(sid);
}
