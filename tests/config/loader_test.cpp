#include "config/loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tarvo::config {
namespace {

using ::testing::HasSubstr;
using test::TempDir;
using test::write_file;

constexpr const char* kRequired =
    "mode: Block\n"
    "capture_interface: eth0\n"
    "promiscuous: false\n"
    "buffer_size_mb: 32\n"
    "timeout_ms: 5\n"
    "snaplen: 1500\n";

struct ErrorCase {
    const char* name;
    std::string yaml;
    const char* expected;  // a part of the error text
};

TEST(ParseConfig, RejectsBadInputWithReaderText) {
    const ErrorCase cases[] = {
        {"empty file", "", "empty document"},
        {"comments only", "# nothing\n", "empty document"},
        {"missing snaplen",
         "mode: Block\ncapture_interface: a\npromiscuous: true\nbuffer_size_mb: 1\ntimeout_ms: 1\n",
         "missing field `snaplen`"},
        {"missing mode and snaplen names mode",
         "capture_interface: a\npromiscuous: true\nbuffer_size_mb: 1\ntimeout_ms: 1\n",
         "missing field `mode`"},
        {"duplicate mode", std::string(kRequired) + "mode: Off\n",
         "duplicate field `mode` at line 7 column 1"},
        {"duplicate inside a section",
         std::string(kRequired) + "dashboard:\n  port: 1\n  port: 2\n", "duplicate field `port`"},
        {"lower-case mode", "mode: monitor\n", "unknown variant `monitor`, expected one of `Block`, `Monitor`, `Off` at line 1 column 7"},
        {"port too wide", std::string(kRequired) + "dashboard:\n  port: 70000\n",
         "dashboard.port: invalid value: integer `70000`, expected u16 (0 to 65535) at line 8 column 9"},
        {"negative buffer", "mode: Block\nbuffer_size_mb: -1\n",
         "buffer_size_mb: invalid value: integer `-1`, expected u64"},
        {"snaplen above u32", "snaplen: 4294967296\n", "expected u32"},
        {"u64 overflow", "timeout_ms: 99999999999999999999999\n", "expected u64"},
        {"bool as word", "promiscuous: maybe\n", "invalid type: string \"maybe\", expected a boolean"},
        {"quoted number is a string", "snaplen: \"1500\"\n", "invalid type: string \"1500\", expected u32"},
        {"number for text", "capture_interface: 5\n", "invalid type: integer `5`, expected a string"},
        {"section as scalar", std::string(kRequired) + "export: yes\n", "export: invalid type"},
        {"top-level sequence", "- a\n- b\n", "invalid type: sequence, expected a map"},
        {"list entry not text", std::string(kRequired) + "trusted_cidrs:\n  - [1]\n",
         "trusted_cidrs: invalid type: sequence"},
        {"sampling rate text", std::string(kRequired) + "fast_path:\n  sampling_rate_high: x\n",
         "expected f64"},
        {"syntax error", "mode: [Block\n", "line"},
        {"not utf-8", std::string("mode: Block\ncapture_interface: \xff\n"), "UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = parse_config(c.yaml);
        ASSERT_FALSE(parsed.has_value());
        EXPECT_THAT(parsed.error(), HasSubstr(c.expected));
    }
}

TEST(ParseConfig, RequiredKeysAloneGiveSectionDefaults) {
    const auto parsed = parse_config(kRequired);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    const TarvoConfig& c = *parsed;
    EXPECT_EQ(c.capture_interface, "eth0");
    EXPECT_FALSE(c.promiscuous);
    EXPECT_EQ(c.buffer_size_mb, 32U);
    EXPECT_EQ(c.snaplen, 1500U);
    EXPECT_FALSE(c.bpf_filter.has_value());
    EXPECT_TRUE(c.dashboard.enabled);
    EXPECT_EQ(c.dashboard.host, "127.0.0.1");
    EXPECT_EQ(c.dashboard.port, 7878);
    EXPECT_FALSE(c.export_section.enabled);
    EXPECT_EQ(c.logging.max_file_size_mb, 100U);
    EXPECT_EQ(c.logging.normal_channel_depth, 4096U);
    EXPECT_EQ(c.blocking.iptables_chain, "TARVO");
}

TEST(ParseConfig, ReadsEveryKindOfValue) {
    const auto parsed = parse_config(
        "mode: Monitor\ncapture_interface: auto\npromiscuous: true\nbuffer_size_mb: 0\n"
        "timeout_ms: 18446744073709551615\nsnaplen: 4294967295\nbpf_filter: ~\n"
        "trusted_cidrs: [10.0.0.0/8, \"fd00::/8\"]\n"
        "unknown_key: {whatever: [1, 2]}\n"
        "export:\n"
        "dashboard: {enabled: false, host: 0.0.0.0, port: 0, extra: true}\n"
        "fast_path: {sampling_rate_high: 1}\n"
        "logging:\n  log_normal_traffic: true\n  normal_sample_divisor: 0\n  bogus: [x]\n"
        "  normal_ring_capacity: 5000\n");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    const TarvoConfig& c = *parsed;
    EXPECT_EQ(c.mode, OperationMode::Monitor);
    EXPECT_EQ(c.timeout_ms, 18446744073709551615ULL);
    EXPECT_EQ(c.snaplen, 4294967295U);
    EXPECT_FALSE(c.bpf_filter.has_value());
    EXPECT_EQ(c.trusted_cidrs, (std::vector<std::string>{"10.0.0.0/8", "fd00::/8"}));
    EXPECT_FALSE(c.export_section.enabled);
    EXPECT_EQ(c.export_section.batch_size, 50U);
    EXPECT_FALSE(c.dashboard.enabled);
    EXPECT_EQ(c.dashboard.host, "0.0.0.0");
    EXPECT_EQ(c.dashboard.port, 0);
    EXPECT_DOUBLE_EQ(c.fast_path.sampling_rate_high, 1.0);
    EXPECT_TRUE(c.logging.log_normal_traffic);
    EXPECT_EQ(c.logging.normal_sample_divisor, 0U);
    EXPECT_EQ(c.logging.normal_ring_capacity, 5000U);
}

TEST(LoadConfig, ChoosesPlatformThenCommonThenDefaults) {
    TempDir dir;
    // No file at all: built-in defaults.
    auto loaded = load_config(dir.path());
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->mode, OperationMode::Block);
    EXPECT_EQ(loaded->capture_interface, "auto");
    EXPECT_EQ(loaded->snaplen, 65535U);
    EXPECT_EQ(loaded->buffer_size_mb, 64U);
    EXPECT_EQ(loaded->timeout_ms, 10U);
    EXPECT_TRUE(loaded->promiscuous);

    // The common file alone is used.
    write_file(dir / kCommonFile, std::string(kRequired) + "dashboard: {port: 9000}\n");
    loaded = load_config(dir.path());
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(loaded->dashboard.port, 9000);

    // The platform file replaces it entirely: no merge of sections.
    write_file(dir / kPlatformFile, kRequired);
    loaded = load_config(dir.path());
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(loaded->dashboard.port, 7878);

    // A broken platform file is an error even with a valid common file.
    write_file(dir / kPlatformFile, "mode: monitor\n");
    loaded = load_config(dir.path());
    ASSERT_FALSE(loaded.has_value());
    EXPECT_THAT(loaded.error(), HasSubstr(kPlatformFile));
    EXPECT_THAT(loaded.error(), HasSubstr("unknown variant `monitor`"));

    // An empty platform file is an error, not a missing file.
    write_file(dir / kPlatformFile, "");
    EXPECT_FALSE(load_config(dir.path()).has_value());
}

TEST(LoadConfig, ShippedSampleHoldsTheDefaults) {
    const auto loaded = load_config(std::filesystem::path(TARVO_REPO_DIR) / "configs");
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    const TarvoConfig defaults;
    EXPECT_EQ(loaded->capture_interface, "auto");
    EXPECT_EQ(loaded->mode, defaults.mode);
    EXPECT_EQ(loaded->snaplen, defaults.snaplen);
    EXPECT_EQ(loaded->buffer_size_mb, defaults.buffer_size_mb);
    EXPECT_EQ(loaded->dashboard.port, defaults.dashboard.port);
    EXPECT_EQ(loaded->logging.normal_channel_depth, defaults.logging.normal_channel_depth);
    EXPECT_EQ(loaded->export_section.batch_size, defaults.export_section.batch_size);
    EXPECT_EQ(loaded->blocking.block_timeout_seconds, defaults.blocking.block_timeout_seconds);
}

TEST(LoadConfig, UnreadableFileIsAnError) {
    TempDir dir;
    std::filesystem::create_directory(dir / kPlatformFile);  // reading a directory fails
    const auto loaded = load_config(dir.path());
    ASSERT_FALSE(loaded.has_value());
    EXPECT_THAT(loaded.error(), HasSubstr(kPlatformFile));
}

TEST(FindConfigDir, SearchesBesideAndAboveTheExecutable) {
    TempDir root;
    const auto bin = root / "a/b/c";
    std::filesystem::create_directories(bin);
    write_file(bin / "tarvo", "");

    // Nothing anywhere: the relative name.
    EXPECT_EQ(find_config_dir_from(bin / "tarvo"), std::filesystem::path("configs"));

    // Two levels up.
    std::filesystem::create_directories(root / "a/configs");
    EXPECT_EQ(find_config_dir_from(bin / "tarvo"), std::filesystem::canonical(root / "a/configs"));

    // One level up wins over two; a regular file named configs is skipped.
    std::filesystem::create_directories(root / "a/b/configs");
    write_file(bin / "configs", "not a directory");
    EXPECT_EQ(find_config_dir_from(bin / "tarvo"),
              std::filesystem::canonical(root / "a/b/configs"));

    // A symbolic link to the executable searches from the link's target.
    std::filesystem::create_directories(root / "elsewhere/configs");
    std::filesystem::create_symlink(bin / "tarvo", root / "elsewhere/tarvo");
    EXPECT_EQ(find_config_dir_from(root / "elsewhere/tarvo"),
              std::filesystem::canonical(root / "a/b/configs"));
}

}  // namespace
}  // namespace tarvo::config
