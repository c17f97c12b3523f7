<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en_US">
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
        <translation>設定</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>言語</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>ヘルプ</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>終了</translation>
    </message>
    <message>
        <source>Set PIN</source>
        <translation>PINを設定</translation>
    </message>
    <message>
        <source>Change PIN</source>
        <translation>PINを変更</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>リセット</translation>
    </message>
    <message>
        <source>Credential Management</source>
        <translation>認証情報の管理</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>デバイス</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状態</translation>
    </message>
    <message>
        <source>Firmware Version:</source>
        <translation>ファームウェアバージョン:</translation>
    </message>
    <message>
        <source>AAGUID:</source>
        <translation>AAGUID:</translation>
    </message>
    <message>
        <source>Protocol:</source>
        <translation>プロトコル:</translation>
    </message>
    <message>
        <source>PIN is set</source>
        <translation>PIN設定済み</translation>
    </message>
    <message>
        <source>PIN is not set</source>
        <translation>PIN未設定</translation>
    </message>
    <message>
        <source>_retries left</source>
        <translation>_回の再試行が可能</translation>
    </message>
    <message>
        <source>support credential management</source>
        <translation>認証情報の管理に対応</translation>
    </message>
    <message>
        <source>Insert a security key into the USB port</source>
        <translation>セキュリティキーをUSBポートに挿入してください</translation>
    </message>
    <message>
        <source>Relying party - User name</source>
        <translation>依拠当事者 - ユーザー名</translation>
    </message>
    <message>
        <source>Resident credential counts:_, remains:</source>
        <translation>保存済みの認証情報:_、残り:</translation>
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
        <translation>RPの記録がありません</translation>
    </message>
    <message>
        <source>to_characters</source>
        <translation>～_文字</translation>
    </message>
    <message>
        <source>Old PIN</source>
        <translation>現在のPIN</translation>
    </message>
    <message>
        <source>New PIN</source>
        <translation>新しいPIN</translation>
    </message>
    <message>
        <source>Confirm PIN</source>
        <translation>PINの確認</translation>
    </message>
    <message>
        <source>Security PIN</source>
        <translation>セキュリティPIN</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <source>PIN Set/Change</source>
        <translation>PINの設定/変更</translation>
    </message>
    <message>
        <source>PIN authentication</source>
        <translation>PIN認証</translation>
    </message>
    <message>
        <source>PIN length must be_to_characters</source>
        <translation>PINは_～_文字で入力してください</translation>
    </message>
    <message>
        <source>PINs do not match</source>
        <translation>PINが一致しません</translation>
    </message>
    <message>
        <source>New PIN is set</source>
        <translation>新しいPINを設定しました</translation>
    </message>
    <message>
        <source>Original PIN is wrong</source>
        <translation>現在のPINが正しくありません</translation>
    </message>
    <message>
        <source>Set PIN failed</source>
        <translation>PINの設定に失敗しました</translation>
    </message>
    <message>
        <source>Wrong PIN</source>
        <translation>PINが正しくありません</translation>
    </message>
    <message>
        <source>Reset Device</source>
        <translation>デバイスのリセット</translation>
    </message>
    <message>
        <source>All data and credentials on this key will be cleared</source>
        <translation>このキーのすべてのデータと認証情報が消去されます</translation>
    </message>
    <message>
        <source>Reset device is successful</source>
        <translation>デバイスをリセットしました</translation>
    </message>
    <message>
        <source>Reset device is failed</source>
        <translation>デバイスのリセットに失敗しました</translation>
    </message>
    <message>
        <source>Advanced Mode</source>
        <translation>詳細モード</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>削除</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>戻る</translation>
    </message>
    <message>
        <source>Please re-insert the security Key</source>
        <translation>セキュリティキーを挿し直してください</translation>
    </message>
    <message>
        <source>Touch your security twice within 10 seconds</source>
        <translation>10秒以内にセキュリティキーに2回タッチしてください</translation>
    </message>
    <message>
        <source>Touch your security key</source>
        <translation>セキュリティキーにタッチしてください</translation>
    </message>
    <message>
        <source>Tap your security key twice on your reader</source>
        <translation>セキュリティキーをリーダーに2回かざしてください</translation>
    </message>
    <message>
        <source>Some credentials could not be deleted</source>
        <translation>一部の認証情報を削除できませんでした</translation>
    </message>
    <message>
        <source>Credentials could not be read, enter the PIN again</source>
        <translation>認証情報を読み取れませんでした。PINを再入力してください</translation>
    </message>
    <message>
        <source>No clear answer: the key may or may not have changed</source>
        <translation>明確な応答がありません。キーが変更されたかどうかは不明です</translation>
    </message>
    <message>
        <source>Nothing was deleted</source>
        <translation>何も削除されませんでした</translation>
    </message>
    <message>
        <source>Could not delete credentials, enter the PIN again</source>
        <translation>認証情報を削除できませんでした。PINを再入力してください</translation>
    </message>
    <message>
        <source>The PIN is blocked: only a reset makes the key usable again</source>
        <translation>PINがロックされています。リセットしない限りキーは使用できません</translation>
    </message>
    <message>
        <source>Too many wrong PINs since the key was plugged in: remove and re-insert it</source>
        <translation>キーを接続してから誤ったPINの入力が多すぎます。キーを取り外して挿し直してください</translation>
    </message>
    <message>
        <source>The key is busy or in use by another program: nothing was changed</source>
        <translation>キーは使用中か、別のプログラムが使用しています。何も変更されていません</translation>
    </message>
</context>
</TS>
