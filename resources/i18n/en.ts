<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
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
        <translation>Settings</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>Minimize</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>Set PIN</source>
        <translation>Set PIN</translation>
    </message>
    <message>
        <source>Change PIN</source>
        <translation>Change PIN</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>Credential Management</source>
        <translation>Credential Management</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Firmware Version:</source>
        <translation>Firmware Version:</translation>
    </message>
    <message>
        <source>AAGUID:</source>
        <translation>AAGUID:</translation>
    </message>
    <message>
        <source>Protocol:</source>
        <translation>Protocol:</translation>
    </message>
    <message>
        <source>PIN is set</source>
        <translation>PIN is set</translation>
    </message>
    <message>
        <source>PIN is not set</source>
        <translation>PIN is not set</translation>
    </message>
    <message>
        <source>_retries left</source>
        <translation>_retries left</translation>
    </message>
    <message>
        <source>support credential management</source>
        <translation>support credential management</translation>
    </message>
    <message>
        <source>Insert a security key into the USB port</source>
        <translation>Insert a security key into the USB port</translation>
    </message>
    <message>
        <source>Relying party - User name</source>
        <translation>Relying party - User name</translation>
    </message>
    <message>
        <source>Resident credential counts:_, remains:</source>
        <translation>Resident credential counts:_, remains:</translation>
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
        <translation>No RP record</translation>
    </message>
    <message>
        <source>to_characters</source>
        <translation>to_characters</translation>
    </message>
    <message>
        <source>Old PIN</source>
        <translation>Old PIN</translation>
    </message>
    <message>
        <source>New PIN</source>
        <translation>New PIN</translation>
    </message>
    <message>
        <source>Confirm PIN</source>
        <translation>Confirm PIN</translation>
    </message>
    <message>
        <source>Security PIN</source>
        <translation>Security PIN</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>Ok</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>PIN Set/Change</source>
        <translation>PIN Set/Change</translation>
    </message>
    <message>
        <source>PIN authentication</source>
        <translation>PIN authentication</translation>
    </message>
    <message>
        <source>PIN length must be_to_characters</source>
        <translation>PIN length must be_to_characters</translation>
    </message>
    <message>
        <source>PINs do not match</source>
        <translation>PINs do not match</translation>
    </message>
    <message>
        <source>New PIN is set</source>
        <translation>New PIN is set</translation>
    </message>
    <message>
        <source>Original PIN is wrong</source>
        <translation>Original PIN is wrong</translation>
    </message>
    <message>
        <source>Set PIN failed</source>
        <translation>Set PIN failed</translation>
    </message>
    <message>
        <source>Wrong PIN</source>
        <translation>Wrong PIN</translation>
    </message>
    <message>
        <source>Reset Device</source>
        <translation>Reset Device</translation>
    </message>
    <message>
        <source>All data and credentials on this key will be cleared</source>
        <translation>All data and credentials on this key will be cleared</translation>
    </message>
    <message>
        <source>Reset device is successful</source>
        <translation>Reset device is successful</translation>
    </message>
    <message>
        <source>Reset device is failed</source>
        <translation>Reset device is failed</translation>
    </message>
    <message>
        <source>Advanced Mode</source>
        <translation>Advanced Mode</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>Please re-insert the security Key</source>
        <translation>Please re-insert the security Key</translation>
    </message>
    <message>
        <source>Touch your security twice within 10 seconds</source>
        <translation>Touch your security twice within 10 seconds</translation>
    </message>
    <message>
        <source>Touch your security key</source>
        <translation>Touch your security key</translation>
    </message>
    <message>
        <source>Tap your security key twice on your reader</source>
        <translation>Tap your security key twice on your reader</translation>
    </message>
    <message>
        <source>Some credentials could not be deleted</source>
        <translation>Some credentials could not be deleted</translation>
    </message>
    <message>
        <source>Credentials could not be read, enter the PIN again</source>
        <translation>Credentials could not be read, enter the PIN again</translation>
    </message>
    <message>
        <source>No clear answer: the key may or may not have changed</source>
        <translation>No clear answer: the key may or may not have changed</translation>
    </message>
    <message>
        <source>Nothing was deleted</source>
        <translation>Nothing was deleted</translation>
    </message>
    <message>
        <source>Could not delete credentials, enter the PIN again</source>
        <translation>Could not delete credentials, enter the PIN again</translation>
    </message>
    <message>
        <source>The PIN is blocked: only a reset makes the key usable again</source>
        <translation>The PIN is blocked: only a reset makes the key usable again</translation>
    </message>
    <message>
        <source>Too many wrong PINs since the key was plugged in: remove and re-insert it</source>
        <translation>Too many wrong PINs since the key was plugged in: remove and re-insert it</translation>
    </message>
    <message>
        <source>The key is busy or in use by another program: nothing was changed</source>
        <translation>The key is busy or in use by another program: nothing was changed</translation>
    </message>
</context>
</TS>
