#include "app/settings.h"

CanAst canAst;
TaskTxConfig taskTxConfig = defaultTaskTxConfig();
char messageText[kMessageTextSize];
std::atomic<bool> g_running{true};

TaskTxConfig defaultTaskTxConfig() {
    TaskTxConfig config{};
    config.period = 1000;
    config.count = 1;
    config.idStep = 1;
    return config;
}
