// SPDX-License-Identifier: MIT
// gifexport_probe: failure documents, stream entries, the listing limit.
#include <nlohmann/json.hpp>

#include "api/api_fixture.h"

namespace {

using apitest::ApiTest;
using nlohmann::json;

TEST_F(ApiTest, ProbeFailureDocuments) {
  const char *first = gifexport_probe(nullptr);
  EXPECT_STREQ(first, "{\"ok\":false,\"error\":\"empty path\"}");
  EXPECT_STREQ(gifexport_probe(""), "{\"ok\":false,\"error\":\"empty path\"}");

  const std::string missing = gifexport_probe((apitest::scratch_dir() + "/missing.mp4").c_str());
  EXPECT_EQ(missing, "{\"ok\":false,\"error\":\"open: No such file or directory\"}");
  EXPECT_LE(missing.size(), 283u);

  const std::string empty = apitest::scratch_path("empty.mp4");
  apitest::write_file(empty, "");
  const json e = json::parse(gifexport_probe(empty.c_str()));
  EXPECT_EQ(e["ok"], false);
  EXPECT_EQ(e["error"].get<std::string>().rfind("open: ", 0), 0u);
  EXPECT_EQ(gifexport_probe(empty.c_str()), first) << "one buffer for every call";
}

TEST_F(ApiTest, ProbeDescribesEveryStreamInOrder) {
  fixture::ClipSpec clip;
  clip.audio_stream_first = true;
  clip.frames = 50;
  const std::string in = apitest::cached_clip("probe_av.mp4", clip);
  ASSERT_FALSE(in.empty());
  const std::string text = gifexport_probe(in.c_str());
  EXPECT_EQ(text.find(' '), std::string::npos) << "compact: " << text;
  const json j = json::parse(text);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["format"], "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_NEAR(j["duration_ms"].get<int>(), 2000, 50);
  ASSERT_EQ(j["streams"].size(), 2u);
  EXPECT_EQ(j["streams"][0]["index"], 0);
  EXPECT_EQ(j["streams"][0]["type"], "audio");
  EXPECT_EQ(j["streams"][1]["index"], 1);
  EXPECT_EQ(j["streams"][1]["type"], "video");
  EXPECT_EQ(j["streams"][1]["codec"], "mpeg4");
  EXPECT_EQ(j["streams"][1]["width"], 320);
  EXPECT_EQ(j["streams"][1]["height"], 240);
  EXPECT_NE(text.find("\"fps\":25.000}"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "]}");
}

TEST_F(ApiTest, ProbeWritesFractionalRatesWithThreeDecimals) {
  // 30000/1001 frames a second, as NTSC video has: 29.97002997...
  const std::string in = apitest::ntsc_clip();
  ASSERT_FALSE(in.empty());
  const std::string text = gifexport_probe(in.c_str());
  EXPECT_NE(text.find("\"fps\":29.970}"), std::string::npos) << text;
  EXPECT_DOUBLE_EQ(json::parse(text)["streams"][0]["fps"].get<double>(), 29.97);
}

TEST_F(ApiTest, ProbeOfUnusualContainers) {
  fixture::ClipSpec raw;
  raw.format = "m4v";
  const std::string raw_path = apitest::cached_clip("probe_raw.m4v", raw);
  ASSERT_FALSE(raw_path.empty());
  const json r = json::parse(gifexport_probe(raw_path.c_str()));
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["duration_ms"], 0) << "no container duration";

  const std::string none = apitest::scratch_path("no_streams.txt");
  ASSERT_TRUE(fixture::make_no_streams(none));
  const std::string text = gifexport_probe(none.c_str());
  EXPECT_NE(text.find("\"streams\":[]}"), std::string::npos) << text;
  EXPECT_NO_THROW(json::parse(text));
}

TEST_F(ApiTest, ProbeListingStopsInsideTheBuffer) {
  const std::string many = apitest::scratch_path("many.mkv");
  std::string err;
  ASSERT_TRUE(fixture::make_many_streams(many, 1000, &err)) << err;
  const std::string text = gifexport_probe(many.c_str());
  ASSERT_LT(text.size(), 65536u);
  const json j = json::parse(text);  // complete, valid JSON
  const size_t listed = j["streams"].size();
  EXPECT_GT(listed, 100u);
  EXPECT_LT(listed, 1000u) << "the listing limit must have cut the list";
  EXPECT_EQ(j["streams"][listed - 1]["index"], listed - 1);
  // It stops right after the entry that passed the limit.
  EXPECT_GT(text.size(), 65023u);
}

}  // namespace
