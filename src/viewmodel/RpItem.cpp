#include "viewmodel/RpItem.h"

#include "fido/Utils.h"

RpItem::RpItem(const RpInfo& rpInfo, const CredentialInfo& credentialInfo)
    : id(rpInfo.id), name(rpInfo.name), idHash(bytesToHexString(rpInfo.idHash)), userId(credentialInfo.userEntity.id),
      userName(credentialInfo.userEntity.name),
      credentialId(bytesToHexString(credentialInfo.publicKeyCredentialDescriptor.id)),
      credType(credentialInfo.publicKeyCredentialDescriptor.type)
{
}
