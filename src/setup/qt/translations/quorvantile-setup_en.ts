<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>quorvantile::setup::SensorCompanionSettingsView</name>
    <message>
        <source>Thermal details</source>
        <translation>Thermal details</translation>
    </message>
    <message>
        <source>Footprint</source>
        <translation>Footprint</translation>
    </message>
    <message>
        <source>Disk activity</source>
        <translation>Disk activity</translation>
    </message>
    <message>
        <source>Collected while details are open.</source>
        <translation>Collected while details are open.</translation>
    </message>
    <message>
        <source>Open at Login</source>
        <translation>Open at Login</translation>
    </message>
    <message>
        <source>System Settings</source>
        <translation>System Settings</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>Login setting: %1</source>
        <translation>Login setting: %1</translation>
    </message>
    <message>
        <source>Sensors setting not saved: %1</source>
        <translation>Sensors setting not saved: %1</translation>
    </message>
    <message>
        <source>Unavailable</source>
        <translation>Unavailable</translation>
    </message>
    <message>
        <source>Starting</source>
        <translation>Starting</translation>
    </message>
    <message>
        <source>Live</source>
        <translation>Live</translation>
    </message>
</context>
</TS>
