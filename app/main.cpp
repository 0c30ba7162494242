// kestrun: send and receive CAN and CAN FD frames through USB-to-CAN adapters.
#include <csignal>
#include <cstring>

#include "app/console.h"
#include "app/frame_log.h"
#include "app/frame_text.h"
#include "app/help_text.h"
#include "app/lockfile.h"
#include "app/models.h"
#include "app/options.h"
#include "app/run_plan.h"
#include "app/settings.h"
#include "app/signals.h"
#include "app/statistics.h"
#include "app/user_obj.h"
#include "app/workers.h"

int main(int argc, char* argv[]) {
    setup_signals();

    std::memset(&canAst, 0, sizeof canAst);
    taskTxConfig = defaultTaskTxConfig();
    std::memset(messageText, 0, sizeof messageText);
    for (statistics_t& s : canAst.stats) {
        stats_init(&s);
    }

    ParsedOptions parsed = parseOptions(argc, argv, canAst, taskTxConfig, messageText);
    // A log on standard output owns it from the first byte on.
    if (parsed.logPath == "-" && parsed.action == ParseAction::Continue) {
        frameLogTakeStandardOutput();
    }
    softPrintVersion();
    if (parsed.action == ParseAction::ShowHelp) {
        softPrintHelp();
        return 0;
    }
    if (parsed.action == ParseAction::ShowVersion) {
        softPrintVersion();
        return 0;
    }
    int status = validateSettings(parsed, canAst, taskTxConfig, messageText);
    if (status >= 0) {
        return status;
    }

    const char* name = deviceNameGetByType(canAst.devType);
    canAst.isOwner = devLockIsLock(name, canAst.devIndex) == -1 ? 1 : 0;
    if (canAst.serveMode && !canAst.isOwner) {
        return serveAlreadyOwned(name);
    }

    _KCAN_USER_OBJ frame;
    std::memset(&frame, 0, sizeof frame);
    if (canAst.sendMode && parsed.replayPath.empty()) {
        if (cmdLineStrMsgParse(messageText, &frame) != 0) {
            log_error("报文格式错误");
            return 1;
        }
        if (taskTxConfig.brs) {
            frame.canfdObj.frameFlags = KCAN_FRAME_FLAG_BRS;
        }
    }

    if (parsed.replayPath.empty()) {
        devSettingPrint();
    } else {
        char line1[512];
        char line2[512];
        formatSettingSummary(canAst, taskTxConfig, line1, line2, sizeof line1);
        log_info("%s", line1);
        formatReplaySummary(parsed, taskTxConfig, line1, sizeof line1);
        log_info("%s", line1);
        hwSetReplay({parsed.replayPath, parsed.replayIf, parsed.periodGiven});
    }

    FrameLogRequest logRequest;
    logRequest.path = parsed.logPath;
    logRequest.formatName = parsed.logFormat;
    logRequest.rotateBytes = static_cast<uint64_t>(parsed.logSizeMb) << 20;
    if (!frameLogOpen(logRequest)) {
        return 1;
    }

    status = canAst.isOwner ? runOwner(name, frame) : runClient(name, frame);
    if (!frameLogClose() || hwRunFailed()) {
        status = 1;
    }
    return status;
}
