/* zorvsdk C interface: the statuses the functions return */
#ifndef ZORV_STATUS_H
#define ZORV_STATUS_H

/* Every function returns one of these, or another status of its own at or above ZORV_OK that is
   not a failure. The AXI functions also fail with ZORV_AXI_UNALIGNED and ZORV_AXI_UNMAPPED. */
enum zorv_status {
    ZORV_OK = 0,
    ZORV_INTERNAL = -1,          /* internal failure of the library */
    ZORV_INVALID_OPERATION = -2, /* not possible in the present state */
    ZORV_INVALID_ARGUMENT = -3,  /* an argument was refused */
    ZORV_NO_MEMORY = -4,         /* the library ran out of memory */
    ZORV_POINTER = -5,           /* a null or invalid pointer */
    ZORV_AXI_UNALIGNED = 102,    /* an AXI address that is not a multiple of 4 */
    ZORV_AXI_UNMAPPED = 103      /* no AXI register at the address */
};

#endif
