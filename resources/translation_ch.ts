<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>KT62 Update Tool</source>
        <translation>KT62升级工具</translation>
    </message>
    <message>
        <source>SerialPort</source>
        <translation>串口</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>打开</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Upgrade</source>
        <translation>升级</translation>
    </message>
    <message>
        <source>Cannot open %1: %2</source>
        <translation>无法打开%1：%2</translation>
    </message>
    <message>
        <source>Cannot open %1: %2; join the group %3 (sudo usermod -aG %3 $USER), then log in again</source>
        <translation>无法打开%1：%2；请加入用户组%3（sudo usermod -aG %3 $USER），然后重新登录</translation>
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
        <source>no such port</source>
        <translation>串口不存在</translation>
    </message>
</context>
<context>
    <name>DialogUpgrade</name>
    <message>
        <source>Firmware Upgrade</source>
        <translation>固件升级</translation>
    </message>
    <message>
        <source>Choose Firmware</source>
        <translation>选择固件</translation>
    </message>
    <message>
        <source>Upgrade</source>
        <translation>升级</translation>
    </message>
    <message>
        <source>CheckVersion</source>
        <translation>查询版本</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Upgrade Status:</source>
        <translation>升级状态：</translation>
    </message>
    <message>
        <source>Device Model: Unknown</source>
        <translation>设备型号：未知</translation>
    </message>
    <message>
        <source>Current Version: Unknown</source>
        <translation>当前版本：未知</translation>
    </message>
    <message>
        <source>Upgrade Version: Unknown</source>
        <translation>升级版本：未知</translation>
    </message>
    <message>
        <source>Device Model:</source>
        <translation>设备型号：</translation>
    </message>
    <message>
        <source>Current Version:</source>
        <translation>当前版本：</translation>
    </message>
    <message>
        <source>Upgrade Version:</source>
        <translation>升级版本：</translation>
    </message>
    <message>
        <source>Checking device information</source>
        <translation>正在查询设备信息</translation>
    </message>
    <message>
        <source>Upgrading %1%</source>
        <translation>进度%1%</translation>
    </message>
    <message>
        <source>Serial Port is not opened!</source>
        <translation>串口未打开！</translation>
    </message>
    <message>
        <source>Please choose firmware!</source>
        <translation>请选择固件！</translation>
    </message>
    <message>
        <source>Firmware name is not right!</source>
        <translation>固件文件名不正确！</translation>
    </message>
    <message>
        <source>Firmware file cannot be read!</source>
        <translation>无法读取固件文件！</translation>
    </message>
    <message>
        <source>Firmware file is empty!</source>
        <translation>固件文件为空！</translation>
    </message>
    <message>
        <source>Please stop the running operation first!</source>
        <translation>请先停止当前操作！</translation>
    </message>
    <message>
        <source>Serial port closed, operation stopped</source>
        <translation>串口已断开，操作已停止</translation>
    </message>
    <message>
        <source>Serial port lost, operation stopped</source>
        <translation>串口连接丢失，操作已停止</translation>
    </message>
    <message>
        <source>%1; the device may be erased and must be upgraded again</source>
        <translation>%1；设备可能已被擦除，必须重新升级</translation>
    </message>
</context>
<context>
    <name>Upgrader</name>
    <message>
        <source>Checking Version...</source>
        <translation>正在检查固件版本...</translation>
    </message>
    <message>
        <source>CheckVersion Finish!</source>
        <translation>检查固件版本完成!</translation>
    </message>
    <message>
        <source>Erasing Chip...</source>
        <translation>正在擦除芯片...</translation>
    </message>
    <message>
        <source>Erase finished, begin upgrade...</source>
        <translation>擦除完成，开始升级...</translation>
    </message>
    <message>
        <source>Waitting for completion...</source>
        <translation>等待最后完成...</translation>
    </message>
    <message>
        <source>Upgrade finished!</source>
        <translation>升级完成！</translation>
    </message>
    <message>
        <source>Upgrade faild!</source>
        <translation>升级失败！</translation>
    </message>
</context>
</TS>
