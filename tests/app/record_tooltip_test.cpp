// The upload time a row's tooltip shows, on machines in different time zones.
#include "app/ui/record_tooltip.h"
#include "runtime/datetime.h"
#include "upload/encoders.h"

#include <QDateTime>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

using namespace velpic;

namespace {

// Sets TZ for the process (the C library and Qt both read it) and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    std::optional<std::string> old_;
};

QString shown_time(const std::string& stamp) {
    UploadRecord record;
    record.ImgUploadTime = stamp;
    return record_tooltip(record, 0, 0, "/nonexistent");
}

const char* const kZones[] = {"UTC", "Asia/Shanghai", "America/New_York"};

TEST(RecordTooltipTime, AStampWrittenInAnyZoneShowsTheWallTimeOfTheUpload) {
    struct Case {
        DateTimeFields wall;
        const char* shown;
    };
    const Case cases[] = {
        {{2021, 11, 27, 16, 0, 0, 250}, "上传时间：2021-11-27 16:00:00"},
        {{2024, 2, 29, 7, 59, 59, 999}, "上传时间：2024-02-29 07:59:59"},
        {{2024, 7, 1, 0, 0, 1, 0}, "上传时间：2024-07-01 00:00:01"},
    };
    for (const char* zone : kZones) {
        const ZoneScope scope(zone);
        for (const Case& c : cases) {
            const std::string stamp = upload_timestamp([&] { return c.wall; });
            EXPECT_EQ(shown_time(stamp), QString::fromUtf8(c.shown)) << zone << " " << stamp;
        }
    }
}

TEST(RecordTooltipTime, TheStoredRuleCountsFromEightOClockOn1January1970) {
    // Written by other machines and older versions: the meaning of these numbers never changes.
    for (const char* zone : kZones) {
        const ZoneScope scope(zone);
        EXPECT_EQ(shown_time("0000"), QStringLiteral("上传时间：1970-01-01 08:00:00")) << zone;
        EXPECT_EQ(shown_time("1638000000000"), QStringLiteral("上传时间：2021-11-27 16:00:00")) << zone;
    }
}

TEST(RecordTooltipTime, AnUploadNowShowsTheMachinesClock) {
    for (const char* zone : kZones) {
        const ZoneScope scope(zone);
        const QDateTime before = QDateTime::currentDateTime();
        const QString shown = shown_time(upload_timestamp(system_local_time));
        const QDateTime after = QDateTime::currentDateTime();
        const QString format = QStringLiteral("上传时间：yyyy-MM-dd HH:mm:ss");
        // The second may turn between the readings.
        EXPECT_TRUE(shown == before.toString(format) || shown == after.toString(format))
            << zone << " " << shown.toStdString() << " at " << before.toString(format).toStdString();
    }
}

} // namespace
