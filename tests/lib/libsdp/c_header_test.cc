// C and C++ see the same public header: same layout, same linkage.
#include <cstddef>

#include <gtest/gtest.h>

#include "c_header.h"
#include "sdp.h"

TEST(c_header, layout_matches_cxx)
{
	size_t tid = 0, len = 0;
	EXPECT_EQ(sdp_c_pdu_layout(&tid, &len), sizeof(sdp_pdu_t));
	EXPECT_EQ(tid, offsetof(sdp_pdu_t, tid));
	EXPECT_EQ(len, offsetof(sdp_pdu_t, len));
	EXPECT_EQ(sdp_c_bdaddr_size(), sizeof(bdaddr_t::b));
}

TEST(c_header, c_callers_reach_the_library)
{
	EXPECT_EQ(sdp_c_calls_without_session(), -3);
}
