#include "can_motor/damiao/registers.hpp"

#include <set>

#include <gtest/gtest.h>

namespace kestro::can_motor::damiao {
namespace {

TEST(RegisterTableTest, HoldsExactlyTheCatalogueIds) {
    std::set<int> expected;
    for (int id = 0; id <= 36; ++id) expected.insert(id);
    for (int id = 50; id <= 56; ++id) expected.insert(id);
    for (int id = 59; id <= 65; ++id) expected.insert(id);
    expected.insert({80, 81});
    ASSERT_EQ(expected.size(), 53u);

    std::set<int> found;
    for (int id = 0; id <= 255; ++id) {
        const RegisterInfo* row = lookup(static_cast<std::uint8_t>(id));
        if (row == nullptr) continue;
        EXPECT_EQ(row->id, id);
        found.insert(id);
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(register_table().size(), 53u);

    int writable = 0;
    int integers = 0;
    for (const RegisterInfo& row : register_table()) {
        writable += row.writable;
        integers += row.value_type == RegisterType::Uint32;
    }
    EXPECT_EQ(writable, 26);  // 0 to 10 and 21 to 35
    EXPECT_EQ(integers, 10);  // 7 to 10, 13 to 16, 35, 36
}

TEST(RegisterTableTest, RowsAsCatalogued) {
    struct Row {
        std::uint8_t id;
        std::string_view name;
        bool writable;
        RegisterType type;
    };
    const Row rows[] = {
        {0, "UV_Value", true, RegisterType::Float},
        {10, "CTRL_MODE", true, RegisterType::Uint32},
        {20, "Gr", false, RegisterType::Float},
        {35, "can_br", true, RegisterType::Uint32},
        {36, "sub_ver", false, RegisterType::Uint32},
        {81, "xout", false, RegisterType::Float},
    };
    for (const Row& row : rows) {
        const RegisterInfo* info = lookup(row.id);
        ASSERT_NE(info, nullptr) << int(row.id);
        EXPECT_EQ(info->name, row.name);
        EXPECT_EQ(info->writable, row.writable) << row.name;
        EXPECT_EQ(info->value_type, row.type) << row.name;
    }
    EXPECT_EQ(lookup(10)->description, "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS");
    EXPECT_EQ(lookup(9)->description, "Timeout alarm (1 unit = 50 us)");
}

}  // namespace
}  // namespace kestro::can_motor::damiao
