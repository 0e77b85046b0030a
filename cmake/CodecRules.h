// Force-included into every codec source by the codec targets: a codec is pure, so no name of the
// port component or of the fast link may appear in it. A header of those layers reached by any
// path, a relative one included, stops the compile at its first declaration.
#pragma once
#pragma GCC poison TCustomComPort TComThread EComError HartLink ReadoutLink
