// Who sent a request, as its top Via tells: what the hardened profile trusts.

#include "telephony/sip_addresses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace velnaro {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ViaSenderAddresses, NamesTheClaimedAndTheReceivedAddress) {
  // The stack adds "received" when the sender claims another address than its own.
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-1"),
              ElementsAre("127.0.0.1"));
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP 127.0.0.1:5999;received=127.0.0.2;branch=z9"),
              ElementsAre("127.0.0.1", "127.0.0.2"));
  // A sender that adds a false "received" to its true address shows both as well.
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP 127.0.0.2:5070;RECEIVED=127.0.0.1;branch=z9"),
              ElementsAre("127.0.0.2", "127.0.0.1"));
  // A host name says nothing; the stack always adds where the request came from.
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP pbx.example:5060;received=192.0.2.10"),
              ElementsAre("192.0.2.10"));
  EXPECT_THAT(ViaSenderAddresses(" SIP/2.0/UDP [0:0::1]:5060 ;received=::1"),
              ElementsAre("::1", "::1"));
  // Only the top one of several.
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP 10.0.0.1;branch=a, SIP/2.0/UDP 10.0.0.2"),
              ElementsAre("10.0.0.1"));
  // A "received" that is no address stays in the list as nothing anyone trusts.
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP 10.0.0.1;received=pbx"), ElementsAre("10.0.0.1", ""));
  EXPECT_THAT(ViaSenderAddresses(""), IsEmpty());
  EXPECT_THAT(ViaSenderAddresses("SIP/2.0/UDP"), IsEmpty());
}

}  // namespace
}  // namespace velnaro
