// What the platform reads out of the built module without running it: the type library, the
// version resource and the string table. Their types, ids and languages are checked statically by
// scripts/check-artifact.sh.
#include <windows.h>
#include <oleauto.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "tests/win/com_support.hpp"

namespace orvane::test {
namespace {

// {00020430-0000-0000-C000-000000000046}, the OLE Automation library (stdole2.tlb).
constexpr GUID kStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct Documentation {
    std::wstring name;
    std::wstring text;
    std::wstring helpFile;
};

std::wstring Take(BSTR text) {
    std::wstring result = text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
    ::SysFreeString(text);
    return result;
}

template <class Owner>
Documentation Describe(Owner* owner, MEMBERID id) {
    BSTR name = nullptr;
    BSTR text = nullptr;
    BSTR helpFile = nullptr;
    DWORD context = 0;
    if constexpr (std::is_same_v<Owner, ITypeLib>) {
        EXPECT_EQ(owner->GetDocumentation(static_cast<INT>(id), &name, &text, &context, &helpFile), S_OK);
    } else {
        EXPECT_EQ(owner->GetDocumentation(id, &name, &text, &context, &helpFile), S_OK);
    }
    return {Take(name), Take(text), Take(helpFile)};
}

TYPEATTR Attributes(ITypeInfo* info) {
    TYPEATTR* attributes = nullptr;
    EXPECT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const TYPEATTR copy = *attributes;
    info->ReleaseTypeAttr(attributes);
    return copy;
}

// The one interface a type implements or derives from.
ComRef<ITypeInfo> FirstImplemented(ITypeInfo* info) {
    HREFTYPE reference = 0;
    EXPECT_EQ(info->GetRefTypeOfImplType(0, &reference), S_OK);
    ComRef<ITypeInfo> implemented;
    EXPECT_EQ(info->GetRefTypeInfo(reference, implemented.put()), S_OK);
    return implemented;
}

class ModuleResources : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Orvane().handle, nullptr);
        ASSERT_EQ(::LoadTypeLibEx(Orvane().path.c_str(), REGKIND_NONE, library_.put()), S_OK);
    }
    ComRef<ITypeLib> library_;
};

TEST_F(ModuleResources, TypeLibraryDescribesOrvaneLibForThirtyTwoBitWindows) {
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library_->GetLibAttr(&attributes), S_OK);
    const TLIBATTR lib = *attributes;
    library_->ReleaseTLibAttr(attributes);
    EXPECT_TRUE(::IsEqualGUID(lib.guid, LIBID_OrvaneLib));
    EXPECT_EQ(lib.lcid, 0x409u);
    EXPECT_EQ(lib.syskind, SYS_WIN32);
    EXPECT_EQ(lib.wMajorVerNum, 1);
    EXPECT_EQ(lib.wMinorVerNum, 0);
    EXPECT_EQ(lib.wLibFlags & (LIBFLAG_FRESTRICTED | LIBFLAG_FCONTROL | LIBFLAG_FHIDDEN), 0);

    const Documentation doc = Describe(library_.get(), -1);
    EXPECT_EQ(doc.name, L"OrvaneLib");
    EXPECT_EQ(doc.text, L"Orvane 1.0 Type Library");
    EXPECT_EQ(doc.helpFile, L"");
    EXPECT_EQ(library_->GetTypeInfoCount(), 2u) << "the coclass and IAddin, nothing else";

    ComRef<ITypeInfo> hosted;
    EXPECT_TRUE(FAILED(library_->GetTypeInfoOfGuid(IID_IHostedAddin, hosted.put()))) << "IHostedAddin is not described";
}

TEST_F(ModuleResources, CoclassAddinIsCreatableWithIAddinAsItsDefault) {
    ComRef<ITypeInfo> coclass;
    ASSERT_EQ(library_->GetTypeInfoOfGuid(CLSID_Addin, coclass.put()), S_OK);
    const TYPEATTR attributes = Attributes(coclass.get());
    EXPECT_EQ(attributes.typekind, TKIND_COCLASS);
    EXPECT_TRUE(attributes.wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attributes.wMajorVerNum, 0);
    EXPECT_EQ(attributes.wMinorVerNum, 0);
    EXPECT_EQ(attributes.cImplTypes, 1);
    const Documentation doc = Describe(coclass.get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"Addin");
    EXPECT_EQ(doc.text, L"Addin Class");

    INT flags = 0;
    EXPECT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    ComRef<ITypeInfo> implemented = FirstImplemented(coclass.get());
    ASSERT_TRUE(implemented);
    EXPECT_TRUE(::IsEqualGUID(Attributes(implemented.get()).guid, IID_IAddin));
}

TEST_F(ModuleResources, IAddinIsAPlainUnknownWithoutMethodsOfItsOwn) {
    ComRef<ITypeInfo> addin;
    ASSERT_EQ(library_->GetTypeInfoOfGuid(IID_IAddin, addin.put()), S_OK);
    const TYPEATTR attributes = Attributes(addin.get());
    EXPECT_EQ(attributes.typekind, TKIND_INTERFACE);
    EXPECT_EQ(attributes.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE), 0)
        << "neither dual nor automation-compatible";
    EXPECT_EQ(attributes.cFuncs, 0);
    EXPECT_EQ(attributes.wMajorVerNum, 0);
    EXPECT_EQ(attributes.wMinorVerNum, 0);
    const Documentation doc = Describe(addin.get(), MEMBERID_NIL);
    EXPECT_EQ(doc.name, L"IAddin");
    EXPECT_EQ(doc.text, L"IAddin Interface");

    // IUnknown comes from stdole2.tlb, not from a copy in our library.
    ASSERT_EQ(attributes.cImplTypes, 1);
    ComRef<ITypeInfo> base = FirstImplemented(addin.get());
    ASSERT_TRUE(base);
    EXPECT_TRUE(::IsEqualGUID(Attributes(base.get()).guid, IID_IUnknown));
    ComRef<ITypeLib> container;
    UINT index = 0;
    ASSERT_EQ(base->GetContainingTypeLib(container.put(), &index), S_OK);
    TLIBATTR* stdole = nullptr;
    ASSERT_EQ(container->GetLibAttr(&stdole), S_OK);
    EXPECT_TRUE(::IsEqualGUID(stdole->guid, kStdOle));
    EXPECT_EQ(stdole->wMajorVerNum, 2);
    EXPECT_EQ(stdole->wMinorVerNum, 0);
    container->ReleaseTLibAttr(stdole);
}

TEST_F(ModuleResources, VersionResourceCarriesTheFixedAndTextVersions) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(Orvane().path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(Orvane().path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x0000000Fu);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x0000000Fu);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(
        ::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 2 * sizeof(WORD)) << "exactly one translation";
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 936);

    struct Field {
        const wchar_t* name;
        const wchar_t* text;  // nullptr: the field is absent
    };
    const Field fields[] = {
        {L"FileVersion", L"1.0.0.1"},
        {L"ProductVersion", L"1.0.0.1"},
        {L"InternalName", L"Orvane.dll"},
        {L"OriginalFilename", L"Orvane.dll"},
        {L"FileDescription", L"Orvane game-client add-in of the download manager"},
        {L"ProductName", L"Orvane"},
        {L"CompanyName", nullptr},
        {L"LegalCopyright", nullptr},
    };
    for (const Field& field : fields) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(field.name)));
        const std::wstring query = std::wstring(L"\\StringFileInfo\\080403a8\\") + field.name;
        wchar_t* text = nullptr;
        const BOOL found = ::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &length);
        if (field.text == nullptr) {
            EXPECT_TRUE(!found || length == 0 || (text != nullptr && *text == L'\0'));
        } else {
            ASSERT_TRUE(found);
            EXPECT_EQ(std::wstring(text), field.text);
        }
    }
}

TEST_F(ModuleResources, StringTableNamesTheProduct) {
    wchar_t text[32] = {};
    EXPECT_EQ(::LoadStringW(Orvane().handle, 100, text, 32), 6);
    EXPECT_EQ(std::wstring(text), L"Orvane");
}

}  // namespace
}  // namespace orvane::test
