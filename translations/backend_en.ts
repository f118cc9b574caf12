<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message>
        <source>processing_mode.fast</source>
        <translation>Fast Mode</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy</source>
        <translation>High Accuracy Mode</translation>
    </message>
    <message>
        <source>processing_mode.fast_option</source>
        <translation>Fast Mode · 1 credit/sec</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy_option</source>
        <translation>High Accuracy Mode · Pro · 3 credits/sec</translation>
    </message>
</context>
</TS>
