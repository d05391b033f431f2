#include "banner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tarvo::banner {
namespace {

using ::testing::HasSubstr;

TEST(ShortestDecimal, ReadsBackExactly) {
    const std::pair<double, const char*> cases[] = {
        {0.0, "0"}, {1234.5, "1234.5"}, {0.1, "0.1"}, {1e20, "100000000000000000000"},
        {1.0 / 3.0, "0.3333333333333333"}, {5.0, "5"},
    };
    for (const auto& [v, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(shortest_decimal(v), text);
    }
}

TEST(FinalReport, LayoutWithAndWithoutExport) {
    FinalFigures f;
    f.runtime_secs = 12.34;
    f.packets = 1000;
    f.blocks = 2;
    f.alerts = 3;
    const std::string expected =
        "\n\x1b[96m\n"
        "+--------------------  FINAL OPERATION REPORT  ---------------------------+\n"
        "|                                                                          |\n"
        "|  Total Packets Processed :         1000                                  |\n"
        "|  Threats Blocked         :            2                                  |\n"
        "|  Security Alerts Raised  :            3                                  |\n"
        "|  Average Throughput      : 81.03727714748784 pps                              |\n"
        "|  Total Runtime           :      12.3 seconds                          |\n"
        "|                                                                          |\n"
        "+--------------------------------------------------------------------------+\n"
        "\x1b[0m\n\n";
    EXPECT_EQ(final_report(f), expected);

    f.export_active = true;
    f.socket_clients = 4;
    const std::string with_export = final_report(f);
    EXPECT_THAT(with_export, HasSubstr("|  Webhook Export Drops    :            0"));
    EXPECT_THAT(with_export, HasSubstr("|  Active Socket Clients   :            4"));
}

TEST(FinalReport, ShortRunsAndWideValues) {
    FinalFigures f;
    f.runtime_secs = 0.0001;  // below a millisecond: divide by 0.001
    f.packets = 5;
    EXPECT_DOUBLE_EQ(f.average_pps(), 5000.0);
    EXPECT_THAT(final_report(f), HasSubstr(":      5000 pps"));
    f.packets = 18446744073709551615ULL;  // wider than 12 columns pushes the border out
    EXPECT_THAT(final_report(f),
                HasSubstr(": 18446744073709551615" + std::string(34, ' ') + "|\n"));
}

TEST(Banners, PlainAndFramedForms) {
    EXPECT_EQ(signal_line("SIGTERM"), "\n[!] Shutdown signal received (SIGTERM)...\n");
    const std::string rule(80, '=');
    EXPECT_EQ(shutdown_banner(true),
              "\n" + rule + "\n                       TARVO HALVERIN SOC  --  SHUTDOWN\n" + rule + "\n\n");
    EXPECT_THAT(shutdown_banner(false), HasSubstr("\x1b[91m\n╔"));
    EXPECT_THAT(shutdown_banner(false), HasSubstr("TARVO HALVERIN SOC SHUTDOWN"));
    EXPECT_EQ(closing_banner(true),
              rule + "\n  All monitoring pipelines terminated\n  Kernel telemetry streams "
                     "disconnected\n  Security services safely shut down\n  Stay safe out "
                     "there, operator.\n" +
                  rule + "\n                        TARVO HALVERIN  --  OFFLINE\n" + rule + "\n\n");
    const std::string framed = closing_banner(false);
    EXPECT_TRUE(framed.starts_with("\x1b[95m\n╔"));
    EXPECT_TRUE(framed.ends_with("╝\n\x1b[0m\n"));
    EXPECT_THAT(framed, HasSubstr("Stay safe out there, operator."));
}

}  // namespace
}  // namespace tarvo::banner
