#include "app/help_text.h"

#include "app/console.h"

#ifndef KESTRUN_VERSION
#define KESTRUN_VERSION "1.0.0"
#endif

namespace {

constexpr const char* kSeparator = "----------------------------------------";
constexpr const char* kWebsite = "www.orvane.com";

// Appends text as one output line (the text itself may end in '\n', which
// then leaves an empty line after it).
void line(std::string& out, const std::string& text) {
    out += text;
    out += '\n';
}

void section(std::string& out, const char* heading) {
    line(out, kSeparator);
    line(out, heading);
    line(out, kSeparator);
}

void example(std::string& out, const char* title, const char* command) {
    line(out, title);
    line(out, std::string("\t ") + command + "\n");
}

}  // namespace

std::string versionBannerText() {
    std::string out;
    line(out, "-----------------OrvaneKestrun---------------------");
    out += "--------------------v" KESTRUN_VERSION "---------------------------\n";
    line(out, "-----------------Linux CAN/FD Tool-------------------");
    line(out, std::string("-----------------") + kWebsite + "---------------------");
    line(out, "------------查看用法使用命令:Kestrun -h------------");
    return out;
}

std::string helpText() {
    std::string out;
    line(out, "========================================");
    out += "  OrvaneKestrun v" KESTRUN_VERSION " - Linux CAN/FD 收发工具\n";
    line(out, "========================================\n");
    line(out, "用法:");
    line(out,
         "  Kestrun -D <设备型号> -a <仲裁域波特率> -d <数据域波特率> [选项] {-s | -r | "
         "--status | --serve}\n");

    section(out, "  设备与通道选项");
    line(out, "  -D, --device <型号> \t 设备型号 (必选)");
    line(out, "                         支持: DUNLIN1, DUNLIN2, ZARO2014, ZARO2018,");
    line(out, "                               DUNLINFD-Mini, DUNLINFD1, DUNLINFD2,");
    line(out, "                               ZARO3014, ZARO3018");
    line(out, "  -c, --channel <编号>\t CAN通道编号 (从0开始)");
    line(out, "  -i, --index <索引>     设备索引号 (默认为 0)");
    line(out, "                         同型号多设备时依次为 0,1,2...\n");

    const char* commonRates =
        "                           常见值: 50000/100000/125000/250000/500000/800000";
    section(out, "  波特率与模式选项");
    line(out, "  -a, --arb-rate <Hz>\t   仲裁域波特率 (必选)");
    line(out, commonRates);
    line(out, "                                   1000000\n");
    line(out, "  -d, --data-rate <Hz>\t   数据域波特率 (仅CAN FD模式)");
    line(out, "                           指定该参数时自动开启FD模式");
    line(out, commonRates);
    line(out, "                                   1000000/2000000/4000000/5000000\n");
    line(out, "  --iso <0/1>              ISO开关 (仅CAN FD模式)");
    line(out, "                           0:NONISO 1:ISO 默认NONISO\n");
    line(out, "  --brs                    发送是否启用BRS (默认关闭)");

    section(out, "  收发模式选项");
    line(out, "  -s, --send\t\t\t   发送模式");
    line(out, "  -r, --receive \t\t   接收模式");
    line(out, "  --serve                  服务模式: 不打印报文, 只为其他进程(如 Python 脚本)");
    line(out, "                           提供设备; 最后一个客户端断开 3 秒后自动结束");
    line(out, "  -m, --message <F1#F2#F3#ID#Data> 报文内容 (发送模式必选)");
    line(out, "                 F1:C(CAN报文) F(FD报文)");
    line(out, "                 F2:S(标准帧) E(扩展帧)");
    line(out, "                 F3:R(远程帧) D(数据帧)");
    line(out, "                 ID: 十六进制 (标准帧11位 / 扩展帧29位)");
    line(out, "                 Data: 十六进制字节序列, 如 \"AABBCCDD\"\n");
    line(out, "接收示例:");
    example(out, "  1. CAN模式接收(500KHz):", "Kestrun -D DUNLIN2 -a 500000 -r");
    example(out, "  2. FD模式接收(500KHz+4MHz+NONISO):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 --iso 0 -r");
    example(out, "  3. FD模式接收(500KHz+4MHz+ISO):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 --iso 1 -r");
    line(out, "发送示例:");
    example(out, "  1. 标准CAN数据帧发送:",
            "Kestrun -D DUNLIN2 -a 500000 -s -m C#S#D#123#1122334455667788");
    example(out, "  2. 扩展CAN数据帧发送:",
            "Kestrun -D DUNLIN2 -a 500000 -s -m C#E#D#123#1122334455667788");
    example(out, "  3. 标准CAN远程帧发送:",
            "Kestrun -D DUNLIN2 -a 500000 -s -m C#S#R#123#1122334455667788");
    example(out, "  4. 扩展CAN远程帧发送:",
            "Kestrun -D DUNLIN2 -a 500000 -s -m C#E#R#123#1122334455667788");
    example(out, "  5. 标准FD数据帧发送(NONISO+BRS关闭):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 -s -m F#S#D#123#1122334455667788");
    example(out, "  6. 扩展FD数据帧发送(NONISO+BRS关闭):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 -s -m F#E#D#123#1122334455667788");
    example(out, "  7. 标准FD数据帧发送(NONISO+BRS开启):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 -s --brs -m F#S#D#123#1122334455667788");
    example(out, "  8. 扩展FD数据帧发送(NONISO+BRS开启):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 --iso 0 -s --brs -m "
            "F#E#D#123#1122334455667788");
    example(out, "  9. 扩展FD数据帧发送(ISO+BRS开启):",
            "Kestrun -D DUNLINFD2 -a 500000 -d 4000000 --iso 1 -s --brs -m "
            "F#E#D#123#1122334455667788AABBCCDDEEFF1122");

    section(out, "  发送控制选项");
    line(out, "  --period <ms>            发送周期 (单位: 毫秒, 默认 1000ms)");
    line(out, "  --count <次数>           发送总帧数 (默认 1, 0 表示无限)\n");
    line(out, "  发送示例:发送10次,每次间隔100ms");
    line(out,
         "\t Kestrun -D DUNLIN2 -a 500000 -s -m C#S#D#123#1122334455667788 --period 100 "
         "--count 10\n");

    section(out, "  ID 自增选项");
    line(out, "  --id-start <ID>          ID自增起始值 (十六进制)");
    line(out, "  --id-end <ID>            ID自增结束值 (十六进制)");
    line(out, "  --id-step <步长>         ID自增步长 (默认 1)");
    line(out, "  --id-random              ID随机模式 (在 start~end 范围内随机)\n");

    section(out, "  统计与日志选项");
    line(out, "  --log <文件>             记录本通道收到和本进程发送的报文");
    line(out, "                           *.pcapng 写 pcapng, 其他写 candump 日志; - 写标准输出");
    line(out, "  --log-format <格式>      candump 或 pcapng (默认按文件名)");
    line(out, "  --log-size <MB>          文件达到该大小时换下一个: 名.1.扩展名, 名.2.扩展名...");
    line(out, "  --replay <文件>          回放 candump 日志或 pcapng 文件 (无需 -s 和 -m)");
    line(out, "                           默认按记录的节奏; --period 0 总线全速; --count 遍数, 0 为循环");
    line(out, "  --replay-if <接口>       只回放该接口 (如 can0) 记录的报文\n");

    section(out, "  其他选项");
    line(out, "  -h, --help               显示帮助信息");
    line(out, "  -v, --version            显示版本信息\n");

    section(out, "  说明");
    line(out, "  1. 不同通道可以同时运行，波特率独立配置，互不干扰。");
    line(out, "  2. 若程序异常退出，锁文件可能残留在 /tmp 目录下:");
    line(out, "\t   /tmp/Kestrun_<设备型号>_<设备索引>.lock");
    line(out, "\t 可手动删除后再启动。\n");

    line(out, "更多资料请参考:");
    line(out, std::string("  ") + kWebsite);
    line(out, "  API 文档: OrvaneDUNLIN API使用手册.V1.0.1.pdf");
    return out;
}

void softPrintVersion() {
    std::string text = versionBannerText();
    consoleWrite(text.data(), text.size());
}

void softPrintHelp() {
    std::string text = helpText();
    consoleWrite(text.data(), text.size());
}
