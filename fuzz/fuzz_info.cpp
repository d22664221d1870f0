// The device's firmware-information answer, arbitrary bytes as its text.
#include "firmware/firmware_name.h"
#include "fuzz/fuzzsupport.h"
#include "upgrade/upgrader.h"

#include <QSignalSpy>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init_application(fuzz_quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size};
    const bool check = in.byte() & 1;
    const QByteArray text = in.bytes(in.size).left(PROTOCOL_MAX_PAYLOAD);

    GPI channel;
    int naks = 0;
    QString firmware;
    Upgrader engine(&channel, &naks, &firmware);
    const QString before = QStringLiteral("sentinel");
    engine.m_current_version = before;
    QSignalSpy infoUpdates(&engine, &Upgrader::device_info_update);
    QSignalSpy checkDone(&engine, &Upgrader::checkVersion_finished);

    if (check) {
        engine.start_check_version();
    } else {
        // An upgrade without a usable table is refused; the answer must then
        // change nothing but the version text.
        FUZZ_CHECK(!engine.start_upgrade());
        engine.m_running = true;
    }
    // The trailing byte completes a zero-length answer.
    engine.hand_serial_data(build_frame(CMD_FIRMWARE_INFO, text) + '\0');

    // Exactly the frame's bytes, NULs included, as the engine reads them.
    const QString decoded = QString::fromLocal8Bit(text.constData(), text.size());
    const bool hasUnderscore = decoded.contains(QLatin1Char('_'));
    FUZZ_CHECK(infoUpdates.count() == (hasUnderscore ? 1 : 0));
    if (engine.m_current_version != before) {
        FUZZ_CHECK(engine.m_current_version.size() == FIRMWARE_VERSION_LENGTH);
        bool found = false;
        FUZZ_CHECK(version_from_identity_text(decoded, &found) == engine.m_current_version);
        FUZZ_CHECK(found);
    }
    FUZZ_CHECK(checkDone.count() == (check ? 1 : 0));
    FUZZ_CHECK(!engine.m_query_timer->isActive());
    return 0;
}
