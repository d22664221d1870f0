<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>HistoryTable</name>
    <message>
        <source>Time</source>
        <translation>时间</translation>
    </message>
    <message>
        <source>Station</source>
        <translation>工位</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>串口</translation>
    </message>
    <message>
        <source>Adapter</source>
        <translation>适配器</translation>
    </message>
    <message>
        <source>Versions</source>
        <translation>版本</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Duration</source>
        <translation>用时</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>信息</translation>
    </message>
</context>
<context>
    <name>HistoryView</name>
    <message>
        <source>&amp;Port:</source>
        <translation>串口(&amp;P)：</translation>
    </message>
    <message>
        <source>&amp;To</source>
        <translation>到(&amp;T)</translation>
    </message>
    <message>
        <source>&amp;Export CSV…</source>
        <translation>导出CSV(&amp;E)…</translation>
    </message>
    <message>
        <source>All results</source>
        <translation>全部结果</translation>
    </message>
    <message>
        <source>All ports</source>
        <translation>全部串口</translation>
    </message>
    <message>
        <source>%1 boards shown</source>
        <translation>显示%1块电路板</translation>
    </message>
    <message>
        <source>Cannot read the history: %1</source>
        <translation>无法读取历史记录：%1</translation>
    </message>
    <message>
        <source>Export the history</source>
        <translation>导出历史记录</translation>
    </message>
    <message>
        <source>CSV files (*.csv)</source>
        <translation>CSV文件 (*.csv)</translation>
    </message>
    <message>
        <source>cannot write %1: %2</source>
        <translation>无法写入%1：%2</translation>
    </message>
    <message>
        <source>The history was not exported: %1</source>
        <translation>历史记录未导出：%1</translation>
    </message>
    <message>
        <source>%1 boards exported to %2</source>
        <translation>已将%1块电路板导出到%2</translation>
    </message>
    <message>
        <source>Res&amp;ult:</source>
        <translation>结果(&amp;U)：</translation>
    </message>
    <message>
        <source>Fro&amp;m</source>
        <translation>从(&amp;M)</translation>
    </message>
    <message>
        <source>Refre&amp;sh</source>
        <translation>刷新(&amp;S)</translation>
    </message>
</context>
<context>
    <name>PortTile</name>
    <message>
        <source>Boards: %1</source>
        <translation>板数：%1</translation>
    </message>
    <message>
        <source>attempt %1</source>
        <translation>第%1次尝试</translation>
    </message>
</context>
<context>
    <name>StationTexts</name>
    <message>
        <source>Waiting for a board</source>
        <translation>等待接入电路板</translation>
    </message>
    <message>
        <source>Board found</source>
        <translation>已检测到电路板</translation>
    </message>
    <message>
        <source>Querying the device</source>
        <translation>正在查询设备</translation>
    </message>
    <message>
        <source>Erasing</source>
        <translation>正在擦除</translation>
    </message>
    <message>
        <source>Sending</source>
        <translation>正在发送</translation>
    </message>
    <message>
        <source>Waiting for the result</source>
        <translation>等待结果</translation>
    </message>
    <message>
        <source>Waiting for the board to come back</source>
        <translation>等待电路板重新接入</translation>
    </message>
    <message>
        <source>Unplug the board</source>
        <translation>请拔下电路板</translation>
    </message>
    <message>
        <source>Cannot open the port</source>
        <translation>无法打开串口</translation>
    </message>
    <message>
        <source>Stopped</source>
        <translation>已停止</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>完成</translation>
    </message>
    <message>
        <source>Failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Skipped</source>
        <translation>已跳过</translation>
    </message>
    <message>
        <source>success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>device failure</source>
        <translation>设备报告失败</translation>
    </message>
    <message>
        <source>bad input</source>
        <translation>输入错误</translation>
    </message>
    <message>
        <source>port error</source>
        <translation>串口错误</translation>
    </message>
    <message>
        <source>time-out</source>
        <translation>超时</translation>
    </message>
    <message>
        <source>success before the image arrived</source>
        <translation>固件未收全即报告成功</translation>
    </message>
    <message>
        <source>interrupted</source>
        <translation>已中断</translation>
    </message>
    <message>
        <source>in progress</source>
        <translation>进行中</translation>
    </message>
    <message>
        <source>in use by another program</source>
        <translation>被其他程序占用</translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation>没有访问权限</translation>
    </message>
    <message>
        <source>permission denied; join the group %1 (sudo usermod -aG %1 $USER), then log in again</source>
        <translation>没有访问权限；请加入用户组%1（sudo usermod -aG %1 $USER），然后重新登录</translation>
    </message>
    <message>
        <source>no such port</source>
        <translation>串口不存在</translation>
    </message>
    <message>
        <source>%1 kB/s</source>
        <translation>%1 kB/s</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 秒</translation>
    </message>
    <message>
        <source>skipped</source>
        <translation>已跳过（版本相同）</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <source>Statio&amp;n</source>
        <translation>工位(&amp;N)</translation>
    </message>
    <message>
        <source>Firmware</source>
        <translation>固件</translation>
    </message>
    <message>
        <source>&amp;Choose…</source>
        <translation>选择(&amp;C)…</translation>
    </message>
    <message>
        <source>Model:</source>
        <translation>型号：</translation>
    </message>
    <message>
        <source>Target version:</source>
        <translation>目标版本：</translation>
    </message>
    <message>
        <source>Size:</source>
        <translation>大小：</translation>
    </message>
    <message>
        <source>Packets:</source>
        <translation>包数：</translation>
    </message>
    <message>
        <source>Header:</source>
        <translation>校验头：</translation>
    </message>
    <message>
        <source>Ports</source>
        <translation>串口</translation>
    </message>
    <message>
        <source>usb:VVVV:PPPP[:SERIAL] or a path</source>
        <translation>usb:VVVV:PPPP[:序列号] 或路径</translation>
    </message>
    <message>
        <source>&amp;Add</source>
        <translation>添加(&amp;A)</translation>
    </message>
    <message>
        <source>Remo&amp;ve</source>
        <translation>移除(&amp;V)</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>选项</translation>
    </message>
    <message>
        <source>Re&amp;tries:</source>
        <translation>重试次数(&amp;T)：</translation>
    </message>
    <message>
        <source>S&amp;kip boards already on this version</source>
        <translation>跳过已是此版本的电路板(&amp;K)</translation>
    </message>
    <message>
        <source>Progress time-&amp;out:</source>
        <translation>进度超时(&amp;O)：</translation>
    </message>
    <message>
        <source> s</source>
        <translation> 秒</translation>
    </message>
    <message>
        <source>&amp;Erase time-out:</source>
        <translation>擦除超时(&amp;E)：</translation>
    </message>
    <message>
        <source>History &amp;database:</source>
        <translation>历史数据库(&amp;D)：</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>开始(&amp;S)</translation>
    </message>
    <message>
        <source>Sto&amp;p</source>
        <translation>停止(&amp;P)</translation>
    </message>
    <message>
        <source>&amp;History</source>
        <translation>历史记录(&amp;H)</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>文件(&amp;F)</translation>
    </message>
    <message>
        <source>&amp;Run</source>
        <translation>运行(&amp;R)</translation>
    </message>
    <message>
        <source>&amp;Choose firmware…</source>
        <translation>选择固件(&amp;C)…</translation>
    </message>
    <message>
        <source>&amp;Export history as CSV…</source>
        <translation>导出历史记录为CSV(&amp;E)…</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>退出(&amp;Q)</translation>
    </message>
    <message>
        <source>Not started: %1</source>
        <translation>未开始：%1</translation>
    </message>
    <message>
        <source>The history failed: %1; no new board is taken, and the rows of boards in progress are kept in %2</source>
        <translation>历史记录失败：%1；不再接收新的电路板，进行中电路板的记录保存在%2</translation>
    </message>
    <message>
        <source>Choose the firmware</source>
        <translation>选择固件</translation>
    </message>
    <message>
        <source>Firmware (*_V*.bin);;All files (*)</source>
        <translation>固件 (*_V*.bin);;所有文件 (*)</translation>
    </message>
    <message>
        <source>unknown</source>
        <translation>未知</translation>
    </message>
    <message>
        <source>No firmware chosen</source>
        <translation>未选择固件</translation>
    </message>
    <message>
        <source>%1 bytes</source>
        <translation>%1 字节</translation>
    </message>
    <message>
        <source>ok (0x%1)</source>
        <translation>正确 (0x%1)</translation>
    </message>
    <message>
        <source>does not match (%1)</source>
        <translation>不匹配 (%1)</translation>
    </message>
    <message>
        <source>Ready to send</source>
        <translation>可以发送</translation>
    </message>
    <message>
        <source>not present</source>
        <translation>未接入</translation>
    </message>
    <message>
        <source>Choose a firmware file first</source>
        <translation>请先选择固件文件</translation>
    </message>
    <message>
        <source>Check at least one port to serve</source>
        <translation>请至少勾选一个串口</translation>
    </message>
    <message>
        <source>Boards are being upgraded. Stop them now (they are recorded as interrupted and must be upgraded again), or let them finish and take no new board?</source>
        <translation>有电路板正在升级。立即停止（记录为已中断，须重新升级），还是等它们完成且不再接收新的电路板？</translation>
    </message>
    <message>
        <source>Stop them now</source>
        <translation>立即停止</translation>
    </message>
    <message>
        <source>Let them finish</source>
        <translation>等待完成</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Finishing the boards in progress; no new board is taken</source>
        <translation>正在完成进行中的电路板；不再接收新的电路板</translation>
    </message>
    <message>
        <source>Served: %1</source>
        <translation>已处理：%1</translation>
    </message>
    <message>
        <source>Succeeded: %1</source>
        <translation>成功：%1</translation>
    </message>
    <message>
        <source>Failed: %1</source>
        <translation>失败：%1</translation>
    </message>
    <message>
        <source>Skipped: %1</source>
        <translation>跳过：%1</translation>
    </message>
    <message>
        <source>KT62 Production Station</source>
        <translation>KT62生产工位</translation>
    </message>
    <message>
        <source>%1 boards/h</source>
        <translation>每小时%1块</translation>
    </message>
    <message>
        <source>— boards/h</source>
        <translation>每小时—块</translation>
    </message>
</context>
</TS>
