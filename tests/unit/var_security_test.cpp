// The DACL the Windows build gives var, and which DACLs it leaves alone, judged on
// descriptors made from SDDL: Wine keeps no file security descriptors, so a run under
// Wine cannot show what var got.
#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "platform/win32/security.h"

namespace {

struct local {
    void* p = nullptr;
    ~local() { LocalFree(p); }
};

}  // namespace

TEST(VarSecurity, OnlyAProtectedDaclOfTheThreePrincipalsIsLeftAlone)
{
    const std::string user = "S-1-5-21-1-2-3-1001";
    local sid;
    ASSERT_TRUE(ConvertStringSidToSidA(user.c_str(), &sid.p));
    struct Row {
        std::string dacl;
        bool tight;
    };
    const std::vector<Row> rows = {{platform::var_dacl_sddl(user), true},
                                   {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
                                   {"D:P(A;OICI;FA;;;SY)(D;OICI;FA;;;WD)", true},
                                   {"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + ")", false},
                                   {"D:P(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", false},
                                   {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1002)", false},
                                   {"D:P(A;OICI;FA;;;SY)(A;OICIIO;FA;;;CO)", false},
                                   {"D:NO_ACCESS_CONTROL", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dacl);
        local descriptor;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(row.dacl.c_str(), SDDL_REVISION_1,
                                                                         &descriptor.p, nullptr));
        EXPECT_EQ(platform::var_dacl_is_tight(descriptor.p, sid.p), row.tight);
    }
}
