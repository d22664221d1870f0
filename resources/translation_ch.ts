<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>KT62 Update Tool</source>
        <translation>KT62升级工具</translation>
    </message>
</context>
</TS>
