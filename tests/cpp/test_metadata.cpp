// Metadata values: kinds, payload access and the equality filters rely on.
#include <cmath>
#include <limits>
#include <string>

#include "check.hpp"
#include "common/fault.hpp"
#include "metadata/metadata.hpp"

using tessra::Metadata;

namespace {

bool faults(void (*body)()) {
    try {
        body();
    } catch (const tessra::Fault&) {
        return true;
    }
    return false;
}

}  // namespace

TEST(metadata_keeps_kind_and_payload) {
    const Metadata text = Metadata::text("blue");
    const Metadata integer = Metadata::integer(std::numeric_limits<std::int64_t>::min());
    const Metadata real = Metadata::real(9.223372036854776e+18);
    CHECK(text.kind() == Metadata::Kind::Str);
    CHECK(integer.kind() == Metadata::Kind::Int);
    CHECK(real.kind() == Metadata::Kind::Float);
    CHECK_EQ(text.as_text(), std::string("blue"));
    CHECK_EQ(integer.as_int(), std::numeric_limits<std::int64_t>::min());
    CHECK_EQ(real.as_float(), 9.223372036854776e+18);
}

TEST(metadata_copy_owns_its_text) {
    std::string source = "blue";
    const Metadata original = Metadata::text(source);
    source[0] = 'g';
    Metadata copy = original;
    copy = Metadata::text("red");
    CHECK_EQ(original.as_text(), std::string("blue"));
}

TEST(metadata_reading_another_kind_is_a_fault) {
    CHECK(faults([] { (void)Metadata::integer(1).as_float(); }));
    CHECK(faults([] { (void)Metadata::real(1.0).as_int(); }));
    CHECK(faults([] { (void)Metadata::integer(1).as_text(); }));
    CHECK(faults([] { (void)Metadata::text("1").as_int(); }));
}

TEST(metadata_equality_never_crosses_kinds) {
    CHECK(Metadata::integer(1) != Metadata::real(1.0));
    CHECK(Metadata::real(1.0) != Metadata::integer(1));
    CHECK(Metadata::text("1") != Metadata::integer(1));
    CHECK(Metadata::text("1") != Metadata::real(1.0));
    CHECK(Metadata::integer(0) != Metadata::real(0.0));
}

TEST(metadata_equality_of_payloads) {
    CHECK(Metadata::integer(42) == Metadata::integer(42));
    CHECK(Metadata::integer(42) != Metadata::integer(43));
    CHECK(Metadata::integer(-1) != Metadata::integer(std::numeric_limits<std::int64_t>::max()));
    CHECK(Metadata::text("blue") == Metadata::text("blue"));
    CHECK(Metadata::text("blue") != Metadata::text("Blue"));
    CHECK(Metadata::text("blue") != Metadata::text("blue "));
    // Byte strings: an embedded NUL counts, and no Unicode normalisation happens.
    CHECK(Metadata::text(std::string("a\0b", 3)) != Metadata::text(std::string("a\0c", 3)));
    CHECK(Metadata::text(std::string("a\0b", 3)) != Metadata::text("a"));
    CHECK(Metadata::text("\xC3\xA9") != Metadata::text("e\xCC\x81"));
    CHECK(Metadata::text("") == Metadata::text(""));
}

TEST(metadata_float_equality_is_ieee) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Metadata stored_nan = Metadata::real(nan);
    CHECK(stored_nan != stored_nan);
    CHECK(!(stored_nan == Metadata::real(nan)));
    CHECK(Metadata::real(0.0) == Metadata::real(-0.0));
    CHECK(Metadata::real(std::numeric_limits<double>::infinity()) ==
          Metadata::real(std::numeric_limits<double>::infinity()));
    CHECK(Metadata::real(1.0) != Metadata::real(std::nextafter(1.0, 2.0)));
}
