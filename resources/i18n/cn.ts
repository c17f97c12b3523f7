<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>UIString</name>
    <message>
        <source>JOV Marrowtillance</source>
        <translation>JOV Marrowtillance</translation>
    </message>
    <message>
        <source>OTP</source>
        <translation>OTP</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>语言</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>Set PIN</source>
        <translation>设置 PIN</translation>
    </message>
    <message>
        <source>Change PIN</source>
        <translation>更改 PIN</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>重置</translation>
    </message>
    <message>
        <source>Credential Management</source>
        <translation>凭据管理</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Firmware Version:</source>
        <translation>固件版本：</translation>
    </message>
    <message>
        <source>AAGUID:</source>
        <translation>AAGUID:</translation>
    </message>
    <message>
        <source>Protocol:</source>
        <translation>协议：</translation>
    </message>
    <message>
        <source>PIN is set</source>
        <translation>已设置 PIN</translation>
    </message>
    <message>
        <source>PIN is not set</source>
        <translation>未设置 PIN</translation>
    </message>
    <message>
        <source>_retries left</source>
        <translation>_次重试机会</translation>
    </message>
    <message>
        <source>support credential management</source>
        <translation>支持凭据管理</translation>
    </message>
    <message>
        <source>Insert a security key into the USB port</source>
        <translation>请将安全密钥插入 USB 端口</translation>
    </message>
    <message>
        <source>Relying party - User name</source>
        <translation>依赖方 - 用户名</translation>
    </message>
    <message>
        <source>Resident credential counts:_, remains:</source>
        <translation>常驻凭据数量：_，剩余：</translation>
    </message>
    <message>
        <source>rpId:</source>
        <translation>rpId:</translation>
    </message>
    <message>
        <source>rpIdHash:</source>
        <translation>rpIdHash:</translation>
    </message>
    <message>
        <source>credentialId:</source>
        <translation>credentialId:</translation>
    </message>
    <message>
        <source>No RP record</source>
        <translation>没有 RP 记录</translation>
    </message>
    <message>
        <source>to_characters</source>
        <translation>至_个字符</translation>
    </message>
    <message>
        <source>Old PIN</source>
        <translation>旧 PIN</translation>
    </message>
    <message>
        <source>New PIN</source>
        <translation>新 PIN</translation>
    </message>
    <message>
        <source>Confirm PIN</source>
        <translation>确认 PIN</translation>
    </message>
    <message>
        <source>Security PIN</source>
        <translation>安全 PIN</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>PIN Set/Change</source>
        <translation>设置/更改 PIN</translation>
    </message>
    <message>
        <source>PIN authentication</source>
        <translation>PIN 验证</translation>
    </message>
    <message>
        <source>PIN length must be_to_characters</source>
        <translation>PIN 长度必须为_至_个字符</translation>
    </message>
    <message>
        <source>PINs do not match</source>
        <translation>两次输入的 PIN 不一致</translation>
    </message>
    <message>
        <source>New PIN is set</source>
        <translation>新 PIN 已设置</translation>
    </message>
    <message>
        <source>Original PIN is wrong</source>
        <translation>原 PIN 错误</translation>
    </message>
    <message>
        <source>Set PIN failed</source>
        <translation>设置 PIN 失败</translation>
    </message>
    <message>
        <source>Wrong PIN</source>
        <translation>PIN 错误</translation>
    </message>
    <message>
        <source>Reset Device</source>
        <translation>重置设备</translation>
    </message>
    <message>
        <source>All data and credentials on this key will be cleared</source>
        <translation>此密钥上的所有数据和凭据都将被清除</translation>
    </message>
    <message>
        <source>Reset device is successful</source>
        <translation>设备重置成功</translation>
    </message>
    <message>
        <source>Reset device is failed</source>
        <translation>设备重置失败</translation>
    </message>
    <message>
        <source>Advanced Mode</source>
        <translation>高级模式</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>返回</translation>
    </message>
    <message>
        <source>Please re-insert the security Key</source>
        <translation>请重新插入安全密钥</translation>
    </message>
    <message>
        <source>Touch your security twice within 10 seconds</source>
        <translation>请在 10 秒内触摸安全密钥两次</translation>
    </message>
    <message>
        <source>Touch your security key</source>
        <translation>请触摸您的安全密钥</translation>
    </message>
    <message>
        <source>Tap your security key twice on your reader</source>
        <translation>请将安全密钥在读卡器上轻触两次</translation>
    </message>
    <message>
        <source>Some credentials could not be deleted</source>
        <translation>部分凭据无法删除</translation>
    </message>
    <message>
        <source>Credentials could not be read, enter the PIN again</source>
        <translation>无法读取凭据，请重新输入 PIN</translation>
    </message>
    <message>
        <source>No clear answer: the key may or may not have changed</source>
        <translation>未收到明确回应：密钥可能已更改，也可能未更改</translation>
    </message>
    <message>
        <source>Nothing was deleted</source>
        <translation>未删除任何内容</translation>
    </message>
    <message>
        <source>Could not delete credentials, enter the PIN again</source>
        <translation>无法删除凭据，请重新输入 PIN</translation>
    </message>
    <message>
        <source>The PIN is blocked: only a reset makes the key usable again</source>
        <translation>PIN 已被锁定：只有重置后才能再次使用此密钥</translation>
    </message>
    <message>
        <source>Too many wrong PINs since the key was plugged in: remove and re-insert it</source>
        <translation>自插入密钥以来 PIN 错误次数过多：请拔出密钥并重新插入</translation>
    </message>
    <message>
        <source>The key is busy or in use by another program: nothing was changed</source>
        <translation>密钥正忙或正被其他程序使用：未做任何更改</translation>
    </message>
</context>
</TS>
