/* Marshals OPC records with the proxy/stub's own format strings, to check the
   wire layout the build gives them. */
#include "opcda_p.c"
#include "opcda_fmt_offsets.h"

#include <string.h>

/* The stub vtables reference this; dlldata.c defines it in the DLL. */
ULONG STDMETHODCALLTYPE CStdStubBuffer_Release(IRpcStubBuffer *This)
{
    return NdrCStdStubBuffer_Release(This, NULL);
}

/* Marshals the array whose format entry is at `fmt_offset`, with the
   conformance taken from parameter slot `count_slot` of a fake stack frame,
   holding `slot_value` (a count, or the address of one for a dereferenced
   correlation). A complex array or a conformant array of pointer records,
   as the entry says. Returns the bytes written; *first_element gets the
   offset at which the first element starts. */
static unsigned long marshal_array_frame(unsigned short fmt_offset, unsigned count_slot, ULONG_PTR slot_value,
                                         unsigned char *memory, unsigned char *buffer, unsigned long size,
                                         unsigned long *first_element)
{
    RPC_MESSAGE rpc;
    MIDL_STUB_MESSAGE msg;
    ULONG_PTR frame[16]; /* stack slots of the platform's size, as the format's offsets count them */
    const unsigned char *fmt = &__MIDL_TypeFormatString.Format[fmt_offset];
    const int complex = fmt[0] == 0x21; /* FC_BOGUS_ARRAY, else FC_CARRAY */

    memset(&rpc, 0, sizeof(rpc));
    memset(&msg, 0, sizeof(msg));
    memset(frame, 0, sizeof(frame));
    frame[count_slot] = slot_value;

    NdrClientInitializeNew(&rpc, &msg, &Object_StubDesc, 0);
    msg.StackTop = (unsigned char *)frame;
    msg.BufferLength = 0;
    if (complex)
        NdrComplexArrayBufferSize(&msg, memory, (PFORMAT_STRING)fmt);
    else
        NdrConformantArrayBufferSize(&msg, memory, (PFORMAT_STRING)fmt);
    if (msg.BufferLength > size)
        return 0;

    memset(buffer, 0xCD, size);
    rpc.Buffer = buffer;
    rpc.BufferLength = msg.BufferLength;
    msg.Buffer = buffer;
    msg.BufferStart = buffer;
    msg.BufferEnd = buffer + size;
    msg.StackTop = (unsigned char *)frame;
    if (complex)
        NdrComplexArrayMarshall(&msg, memory, (PFORMAT_STRING)fmt);
    else
        NdrConformantArrayMarshall(&msg, memory, (PFORMAT_STRING)fmt);
    if (first_element)
        *first_element = 4; /* just after the conformance count */
    return (unsigned long)(msg.Buffer - buffer);
}

static unsigned long marshal_array(unsigned short fmt_offset, unsigned count_slot, unsigned count,
                                   unsigned char *memory, unsigned char *buffer, unsigned long size,
                                   unsigned long *first_element)
{
    ULONG_PTR slot_value = count;
    return marshal_array_frame(fmt_offset, count_slot, slot_value, memory, buffer, size, first_element);
}

unsigned long vantrel_wire_itemstate_array(unsigned count, OPCITEMSTATE *items, unsigned char *buffer,
                                           unsigned long size)
{
    /* IOPCSyncIO::Read(This, dwSource, dwCount, ...): dwCount in slot 2. */
    return marshal_array(VANTREL_FMT_OPCITEMSTATE_ARRAY, 2, count, (unsigned char *)items, buffer, size, 0);
}

unsigned long vantrel_wire_variant_array(unsigned count, VARIANT *values, unsigned char *buffer,
                                         unsigned long size)
{
    /* IOPCSyncIO::Write(This, dwCount, phServer, pItemValues, ...): dwCount in slot 1. */
    return marshal_array(VANTREL_FMT_VARIANT_ARRAY_1, 1, count, (unsigned char *)values, buffer, size, 0);
}

/* The VARIANT arrays of the DA 2.0 methods, each with the frame slot of its
   count: IOPCDataCallback::OnDataChange and OnReadComplete (dwCount is the
   fifth parameter), IOPCAsyncIO2::Write and IOPCItemProperties::
   GetItemProperties (dwCount is the first and second). */
unsigned long vantrel_wire_da2_variant_array(int which, unsigned count, VARIANT *values, unsigned char *buffer,
                                             unsigned long size)
{
    static const unsigned short offsets[] = {VANTREL_FMT_VARIANT_ARRAY_3, VANTREL_FMT_VARIANT_ARRAY_4,
                                             VANTREL_FMT_VARIANT_ARRAY_5, VANTREL_FMT_VARIANT_ARRAY_6};
    static const unsigned slots[] = {5, 5, 1, 2};
    if (which < 0 || which > 3)
        return 0;
    return marshal_array(offsets[which], slots[which], count, (unsigned char *)values, buffer, size, 0);
}

/* IOPCItemIO::WriteVQT(This, dwCount, pszItemIDs, pItemVQT, ...): dwCount in slot 1. */
unsigned long vantrel_wire_vqt_array(unsigned count, OPCITEMVQT *items, unsigned char *buffer, unsigned long size)
{
    return marshal_array(VANTREL_FMT_OPCITEMVQT_ARRAY, 1, count, (unsigned char *)items, buffer, size, 0);
}

/* IOPCBrowse::Browse's elements, sized by *pdwCount (the twelfth parameter,
   frame slot 12). */
unsigned long vantrel_wire_browse_elements(unsigned count, OPCBROWSEELEMENT *elements, unsigned char *buffer,
                                           unsigned long size)
{
    static DWORD n;
    n = count;
    return marshal_array_frame(VANTREL_FMT_OPCBROWSEELEMENT_ARRAY, 12, (ULONG_PTR)&n,
                               (unsigned char *)elements, buffer, size, 0);
}

/* The alignment byte of each mended entry (1-based alignment mask). */
unsigned char vantrel_fmt_alignment(int which)
{
    static const unsigned short offsets[] = {
        VANTREL_FMT_OPCITEMSTATE, VANTREL_FMT_OPCITEMSTATE_ARRAY, VANTREL_FMT_VARIANT_ARRAY_1,
        VANTREL_FMT_VARIANT_ARRAY_2, VANTREL_FMT_OPCITEMATTRIBUTES, VANTREL_FMT_OPCITEMATTRIBUTES_ARRAY,
        VANTREL_FMT_VARIANT_ARRAY_3, VANTREL_FMT_VARIANT_ARRAY_4, VANTREL_FMT_VARIANT_ARRAY_5,
        VANTREL_FMT_VARIANT_ARRAY_6, VANTREL_FMT_OPCITEMPROPERTY, VANTREL_FMT_OPCITEMPROPERTY_ARRAY,
        VANTREL_FMT_VARIANT_ARRAY_7, VANTREL_FMT_OPCITEMVQT, VANTREL_FMT_OPCITEMVQT_ARRAY,
        VANTREL_FMT_VARIANT_ARRAY_8, VANTREL_FMT_OPCITEMVQT_ARRAY_2, VANTREL_FMT_OPCITEMVQT_ARRAY_3};
    if (which < 0 || which >= (int)(sizeof(offsets) / sizeof(offsets[0])))
        return 0xFF;
    return __MIDL_TypeFormatString.Format[offsets[which] + 1];
}
